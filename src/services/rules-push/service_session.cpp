#include "service_session.h"

#include <fmt/format.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <utility>

#include "talvoro/rules_protocol.h"

namespace talvoro::push {
namespace {

namespace mqtt = talvoro::mosquitto;
using protocol::kConfigurationResultTopic;
using protocol::kRuleResultTopicPrefix;
using protocol::kStateTopic;
using protocol::kStatusTopicPrefix;

// Messages handled in one go before the caller looks at the time again.
constexpr int kMaxMessagesPerRound = 1000;
// CONNACK return code that a later attempt may not get again.
constexpr int kServerUnavailable = 3;

// Unique among instances on any host: the process id and 64 random bits.
std::string clientIdentifier() {
  std::random_device random;
  const std::uint64_t bits = (std::uint64_t{random()} << 32) | random();
  return fmt::format("rules-push-{}-{:016x}", getpid(), bits);
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> subscriptionsFor(ServiceSession::Purpose purpose) {
  if (purpose == ServiceSession::Purpose::Check) {
    return {};  // one status at a time, see subscribeStatus()
  }
  return {kStateTopic, kRuleResultTopicPrefix + "+", kConfigurationResultTopic};
}

}  // namespace

ServiceSession::ServiceSession(const std::string& broker, Purpose purpose)
    : broker_(broker), subscriptions_(subscriptionsFor(purpose)), client_(clientIdentifier(), broker) {
  // A refused login is told once, by the run that gives up on it.
  client_.SetEventListener([this](const mqtt::LinkEvent& event) {
    if (event.kind != mqtt::LinkEvent::Kind::Connected && !refusal()) {
      std::cerr << "rules-push: " + event.text + "\n" << std::flush;
    }
  });
  client_.Connect(true, nullptr, nullptr);
  for (const std::string& filter : subscriptions_) {
    client_.Subscribe(filter, mqtt::Qos::AtLeastOnce, false, nullptr, nullptr);
  }
}

bool ServiceSession::accepting() const {
  const mqtt::LinkState link = client_.Link();
  if (!link.connected || stateConnection_ != link.connection) {
    return false;
  }
  for (const std::string& filter : subscriptions_) {
    if (!client_.Acknowledged(filter, link.connection)) {
      return false;
    }
  }
  return accepted_.count(state_) != 0;
}

std::string ServiceSession::state() const {
  const mqtt::LinkState link = client_.Link();
  return link.connected && stateConnection_ == link.connection ? state_ : std::string();
}

// The wrapper's texts start with the broker, which our messages name first.
std::string ServiceSession::withoutBroker(const std::string& text) const {
  return startsWith(text, broker_ + ": ") ? text.substr(broker_.size() + 2) : text;
}

std::string ServiceSession::unavailability() const {
  const mqtt::LinkState link = client_.Link();
  if (!link.connected) {
    return link.lastFailure.empty() ? "no connection to the broker yet"
                                    : "no connection: " + withoutBroker(link.lastFailure);
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

std::optional<std::string> ServiceSession::refusal() const {
  const mqtt::LinkState link = client_.Link();
  if (link.connected || link.refusedWith == 0 || link.refusedWith == kServerUnavailable) {
    return std::nullopt;
  }
  return withoutBroker(link.lastFailure);
}

std::vector<Incoming> ServiceSession::receive(std::chrono::milliseconds wait) {
  std::vector<Incoming> incoming;
  for (int i = 0; i < kMaxMessagesPerRound; ++i) {
    std::optional<mqtt::Message> message =
        client_.TryReceive("/tl/bridge/#", i == 0 ? wait : std::chrono::milliseconds(0));
    if (!message) {
      break;
    }
    std::string payload(message->payload.begin(), message->payload.end());
    const std::string& topic = message->topic;
    if (topic == kStateTopic) {
      noteState(payload);
    } else if (topic == kConfigurationResultTopic) {
      incoming.push_back({Incoming::Kind::ConfigurationResult, topic, {}, std::move(payload)});
    } else if (startsWith(topic, kRuleResultTopicPrefix)) {
      incoming.push_back({Incoming::Kind::RuleResult, topic,
                          topic.substr(kRuleResultTopicPrefix.size()), std::move(payload)});
    } else if (startsWith(topic, kStatusTopicPrefix)) {
      incoming.push_back({Incoming::Kind::Status, topic, topic.substr(kStatusTopicPrefix.size()),
                          std::move(payload)});
    }
  }
  return incoming;
}

void ServiceSession::noteState(const std::string& state) {
  const std::uint64_t connection = client_.Link().connection;
  const bool wasAccepting = stateConnection_ == connection && accepted_.count(state_) != 0;
  state_ = state;
  stateConnection_ = connection;
  ++stateSerial_;
  if (!wasAccepting && accepted_.count(state_) != 0) {
    ++enteredAccepting_;
  }
}

void ServiceSession::publish(const Item& item, int deployment, std::size_t index, int attempt) {
  const auto report = [inbox = inbox_, deployment, index, attempt](bool delivered) {
    std::lock_guard<std::mutex> lock(inbox->mutex);
    inbox->reports.push_back({deployment, index, attempt, delivered});
  };
  try {
    client_.Send(item.topic, item.payload, mqtt::Qos::AtLeastOnce, false, report);
  } catch (const mqtt::MqttError& error) {
    std::cerr << "rules-push: " + item.label + " not sent: " + error.what() + "\n" << std::flush;
    report(false);
  }
}

std::vector<DeliveryReport> ServiceSession::takeDeliveries() {
  std::lock_guard<std::mutex> lock(inbox_->mutex);
  return std::exchange(inbox_->reports, {});
}

bool ServiceSession::subscribe(const std::string& filter) {
  try {
    return client_.Subscribe(filter, mqtt::Qos::AtLeastOnce, false, nullptr, nullptr);
  } catch (const mqtt::MqttError& error) {
    std::cerr << "rules-push: " + std::string(error.what()) + "\n" << std::flush;
    return false;
  }
}

bool ServiceSession::subscribeStatus(const std::string& name) {
  return subscribe(kStatusTopicPrefix + name);
}

bool ServiceSession::markStatuses() { return subscribe(kStateTopic); }

}  // namespace talvoro::push
