#include "service_session.h"

#include <fmt/format.h>

#include <iostream>
#include <utility>

#include "talvoro/rules_protocol.h"

namespace talvoro::push {
namespace {

namespace mqtt = talvoro::mosquitto;
using protocol::kConfigurationResultTopic;
using protocol::kInventoryTopic;
using protocol::kRuleResultTopicPrefix;
using protocol::kStateTopic;
using protocol::kStatusTopicPrefix;

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// --check reads the statuses one batch at a time (see subscribeStatus()) and
// the state only as the batch's marker; every purpose hears the inventory.
std::vector<std::string> subscriptionsFor(ServiceSession::Purpose purpose, const Topics& topics) {
  if (purpose == ServiceSession::Purpose::Deploy) {
    return {topics.state(), topics.ruleResults(), topics.configurationResult(),
            topics.inventory()};
  }
  return {topics.inventory()};
}

}  // namespace

ServiceSession::ServiceSession(std::shared_ptr<BrokerLink> link, const Controller& controller,
                               Purpose purpose)
    : link_(std::move(link)),
      controller_(controller),
      topics_(controller.prefix),
      inbox_(link_->attach(controller.prefix)),
      subscriptions_(subscriptionsFor(purpose, topics_)) {
  for (const std::string& filter : subscriptions_) {
    subscribe(filter);
  }
}

bool ServiceSession::accepting() const {
  const mqtt::LinkState link = link_->client().Link();
  if (!link.connected || stateConnection_ != link.connection) {
    return false;
  }
  for (const std::string& filter : subscriptions_) {
    if (!link_->client().Acknowledged(filter, link.connection)) {
      return false;
    }
  }
  return accepted_.count(state_) != 0;
}

std::string ServiceSession::state() const {
  const mqtt::LinkState link = link_->client().Link();
  return link.connected && stateConnection_ == link.connection ? state_ : std::string();
}

std::string ServiceSession::unavailability() const {
  const mqtt::LinkState link = link_->client().Link();
  if (!link.connected) {
    return link.lastFailure.empty() ? "no connection to the broker yet"
                                    : "no connection: " + link_->withoutBroker(link.lastFailure);
  }
  const std::string heard = state();
  if (heard.empty()) {
    return "the service has announced no state on the broker";
  }
  if (heard == "waiting") {
    return "the service has no IO structure (its state: \"waiting\")";
  }
  return fmt::format("the service's state: \"{}\"", heard);
}

std::vector<Incoming> ServiceSession::receive(std::chrono::milliseconds wait) {
  std::vector<Incoming> incoming;
  for (mqtt::Message& message : inbox_->take(wait)) {
    std::optional<std::string> topic = topics_.local(message.topic);
    if (!topic) {
      continue;
    }
    std::string payload(message.payload.begin(), message.payload.end());
    if (*topic == kStateTopic) {
      noteState(payload);
    } else if (*topic == kConfigurationResultTopic) {
      incoming.push_back({Incoming::Kind::ConfigurationResult, *topic, {}, std::move(payload)});
    } else if (*topic == kInventoryTopic) {
      incoming.push_back({Incoming::Kind::Inventory, *topic, {}, std::move(payload)});
    } else if (startsWith(*topic, kRuleResultTopicPrefix)) {
      incoming.push_back({Incoming::Kind::RuleResult, *topic,
                          topic->substr(kRuleResultTopicPrefix.size()), std::move(payload)});
    } else if (startsWith(*topic, kStatusTopicPrefix)) {
      incoming.push_back({Incoming::Kind::Status, *topic,
                          topic->substr(kStatusTopicPrefix.size()), std::move(payload)});
    }
  }
  return incoming;
}

void ServiceSession::noteState(const std::string& state) {
  const std::uint64_t connection = link_->client().Link().connection;
  const bool wasAccepting = stateConnection_ == connection && accepted_.count(state_) != 0;
  state_ = state;
  stateConnection_ = connection;
  ++stateSerial_;
  if (!wasAccepting && accepted_.count(state_) != 0) {
    ++enteredAccepting_;
  }
}

// `item` names its topic without the prefix.
void ServiceSession::publish(const Item& item, int deployment, std::size_t index, int attempt) {
  const auto report = [inbox = inbox_, deployment, index, attempt](bool delivered) {
    inbox->put(DeliveryReport{deployment, index, attempt, delivered});
  };
  try {
    link_->client().Send(topics_.prefix() + item.topic, item.payload, mqtt::Qos::AtLeastOnce,
                         false, report);
  } catch (const mqtt::MqttError& error) {
    std::cerr << "rules-push: " + item.label + " not sent: " + error.what() + "\n" << std::flush;
    report(false);
  }
}

std::vector<DeliveryReport> ServiceSession::takeDeliveries() { return inbox_->takeDeliveries(); }

bool ServiceSession::subscribe(const std::string& filter) {
  try {
    return link_->client().Subscribe(filter, mqtt::Qos::AtLeastOnce, false, nullptr, nullptr);
  } catch (const mqtt::MqttError& error) {
    std::cerr << "rules-push: " + std::string(error.what()) + "\n" << std::flush;
    return false;
  }
}

bool ServiceSession::subscribeStatus(const std::string& name) {
  return subscribe(topics_.status(name));
}

bool ServiceSession::markStatuses() { return subscribe(topics_.state()); }

bool ServiceSession::hearsInventory() const {
  const mqtt::LinkState link = link_->client().Link();
  return link.connected && link_->client().Acknowledged(topics_.inventory(), link.connection);
}

void ServiceSession::requestInventory(const std::string& request) {
  try {
    link_->client().Send(topics_.inventoryRequest(), request, mqtt::Qos::AtLeastOnce, false);
  } catch (const mqtt::MqttError& error) {
    std::cerr << "rules-push: the inventory request not sent: " + std::string(error.what()) +
                     "\n"
              << std::flush;
  }
}

}  // namespace talvoro::push
