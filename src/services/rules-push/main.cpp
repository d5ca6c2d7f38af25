// rules-push: deploys rules (and an IO structure) to rules-preprocessor over
// MQTT and waits for the service's result of each one, sending again what
// got no answer. See usageText() for the command line.

#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "deployment.h"
#include "push_options.h"
#include "talvoro/mosquitto/mqtt_async_wrapper.h"
#include "talvoro/rule_crc.h"
#include "talvoro/rules_protocol.h"

namespace talvoro::push {
namespace {

namespace mqtt = talvoro::mosquitto;
using Clock = Deployment::Clock;

using protocol::kConfigurationResultTopic;
using protocol::kConfigurationTopic;
using protocol::kRuleResultTopicPrefix;
using protocol::kRulesTopicPrefix;
using protocol::kStateTopic;
using protocol::kStatusTopicPrefix;
const std::string kConfigurationLabel = "configuration";
const std::vector<std::string> kSubscriptions = {
    kStateTopic, kRuleResultTopicPrefix + "+", kStatusTopicPrefix + "+", kConfigurationResultTopic};

// Enough to keep the service's batches full, few enough that the broker
// never drops any of them (it queues at most 1000 QoS 0 messages for a
// subscriber).
constexpr std::size_t kMaxInFlight = 100;
constexpr std::chrono::milliseconds kPollInterval{20};
// Messages handled in one go before the due sends are looked at again.
constexpr int kMaxMessagesPerRound = 1000;

const std::set<std::string> kRulesAccepted = {"ready"};
const std::set<std::string> kConfigurationAccepted = {"waiting", "ready"};

// Unique among instances on any host: the process id and 64 random bits.
std::string clientIdentifier() {
  std::random_device random;
  const std::uint64_t bits = (std::uint64_t{random()} << 32) | random();
  return fmt::format("rules-push-{}-{:016x}", getpid(), bits);
}

std::optional<std::uint32_t> parseCrc(const std::string& text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value > 0xFFFFFFFFull) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// The link to the broker, and what the service announces on it.
class ServiceSession {
 public:
  explicit ServiceSession(const std::string& clientId) : client_(clientId) {
    client_.SetEventListener([](const mqtt::LinkEvent& event) {
      if (event.kind != mqtt::LinkEvent::Kind::Connected) {
        std::cerr << "rules-push: " << event.text << std::endl;
      }
    });
    client_.Connect(true, nullptr, nullptr);
    for (const std::string& filter : kSubscriptions) {
      client_.Subscribe(filter, mqtt::Qos::AtLeastOnce, false, nullptr, nullptr);
    }
  }

  // The states in which the service takes what is being deployed now.
  void accept(const std::set<std::string>& states) { accepted_ = states; }

  // True when the service takes messages now and we hear its answers.
  bool accepting() const {
    const mqtt::LinkState link = client_.Link();
    if (!link.connected || stateConnection_ != link.connection) {
      return false;
    }
    for (const std::string& filter : kSubscriptions) {
      if (!client_.Acknowledged(filter, link.connection)) {
        return false;
      }
    }
    return accepted_.count(state_) != 0;
  }

  // The last state heard, for messages.
  std::string state() const { return state_.empty() ? "none heard" : "\"" + state_ + "\""; }

  // Counts the times the service (or our link to it) came into an accepting
  // state: a change means messages in flight before may be lost.
  std::uint64_t acceptances() const { return enteredAccepting_; }

  // Hands what arrives within `wait` to `deployment`; returns the indices of
  // items that got their result.
  std::vector<std::size_t> receive(Deployment& deployment, std::chrono::milliseconds wait) {
    std::vector<std::size_t> finished;
    for (int i = 0; i < kMaxMessagesPerRound; ++i) {
      std::optional<mqtt::Message> message =
          client_.TryReceive("/tl/bridge/#", i == 0 ? wait : std::chrono::milliseconds(0));
      if (!message) {
        break;
      }
      if (auto index = dispatch(deployment, *message)) {
        finished.push_back(*index);
      }
    }
    return finished;
  }

  // Publishes with QoS 1; a refusal (the client's buffer is full) only
  // costs this attempt, the timeout sends it again.
  void publish(const Item& item) {
    try {
      client_.Send(item.topic, item.payload, mqtt::Qos::AtLeastOnce, false);
    } catch (const mqtt::MqttError& error) {
      std::cerr << "rules-push: " << item.label << " not sent: " << error.what() << std::endl;
    }
  }

 private:
  std::optional<std::size_t> dispatch(Deployment& deployment, const mqtt::Message& message) {
    const std::string payload(message.payload.begin(), message.payload.end());
    const std::string& topic = message.topic;
    if (topic == kStateTopic) {
      noteState(payload);
    } else if (topic.compare(0, kStatusTopicPrefix.size(), kStatusTopicPrefix) == 0) {
      if (const auto crc = parseCrc(payload)) {
        deployment.noteStatus(topic.substr(kStatusTopicPrefix.size()), *crc);
      }
    } else {
      // A result; the deployment knows whether the topic is one it waits on.
      return takeResult(deployment, topic, payload);
    }
    return std::nullopt;
  }

  void noteState(const std::string& state) {
    const std::uint64_t connection = client_.Link().connection;
    const bool wasAccepting = stateConnection_ == connection && accepted_.count(state_) != 0;
    state_ = state;
    stateConnection_ = connection;
    if (!wasAccepting && accepted_.count(state_) != 0) {
      ++enteredAccepting_;
    }
  }

  // A result that is not JSON of the expected form is somebody else's
  // business; it is left alone.
  static std::optional<std::size_t> takeResult(Deployment& deployment, const std::string& topic,
                                               const std::string& payload) {
    const nlohmann::json result = nlohmann::json::parse(payload, nullptr, false);
    if (!result.is_object() || !result.contains("outcome") || !result["outcome"].is_string()) {
      return std::nullopt;
    }
    std::optional<std::uint32_t> crc;
    if (result.contains("crc") && result["crc"].is_number_unsigned()) {
      crc = result["crc"].get<std::uint32_t>();
    }
    Outcome outcome{result["outcome"].get<std::string>(), {}};
    if (result.contains("reason") && result["reason"].is_string()) {
      outcome.reason = result["reason"].get<std::string>();
    }
    return deployment.takeResult(topic, crc, std::move(outcome));
  }

  mqtt::MqttAsyncWrapper client_;
  std::set<std::string> accepted_;
  std::string state_;
  std::uint64_t stateConnection_ = 0;
  std::uint64_t enteredAccepting_ = 0;
};

void printOutcome(const Deployment& deployment, std::size_t index) {
  const std::string& label = deployment.items()[index].label;
  const Outcome* outcome = deployment.outcomeOf(index);
  if (outcome == nullptr) {
    fmt::print("{}: no result\n", label);
  } else if (outcome->reason.empty()) {
    fmt::print("{}: {}\n", label, outcome->outcome);
  } else {
    fmt::print("{}: {}: {}\n", label, outcome->outcome, outcome->reason);
  }
  std::fflush(stdout);
}

void printAll(const Deployment& deployment, const std::vector<std::size_t>& indices) {
  for (const std::size_t index : indices) {
    printOutcome(deployment, index);
  }
}

// Runs `deployment` to its end: sends while the service accepts, resends
// what is overdue or was in flight when the service went away, and gives up
// on everything when the service does not accept for `timeout`.
void deploy(ServiceSession& session, Deployment& deployment, std::chrono::milliseconds timeout) {
  auto unavailableSince = Clock::now();
  std::uint64_t acceptances = session.acceptances();
  while (!deployment.finished()) {
    printAll(deployment, session.receive(deployment, kPollInterval));
    const auto now = Clock::now();
    if (!session.accepting()) {
      if (now - unavailableSince > timeout) {
        std::cerr << fmt::format("rules-push: the service did not take messages for {:g} s "
                                 "(its state: {})\n",
                                 timeout.count() / 1000.0, session.state());
        printAll(deployment, deployment.giveUpAll());
      }
      continue;
    }
    unavailableSince = now;
    if (session.acceptances() != acceptances) {
      acceptances = session.acceptances();
      deployment.serviceLost();
    }
    const Deployment::Step step = deployment.due(now);
    printAll(deployment, step.gaveUp);
    for (const std::size_t index : step.send) {
      session.publish(deployment.items()[index]);
    }
  }
}

int run(ServiceSession& session, Deployment& deployment, const std::set<std::string>& accepted,
        const PushOptions& options, const std::string& noun) {
  session.accept(accepted);
  deploy(session, deployment, options.timeout);
  fmt::print("{}\n", deployment.summary(noun));
  std::fflush(stdout);
  return deployment.exitStatus();
}

// A malformed broker address or unreadable credentials show here, before
// anything is published: exit status 2 as for any unreadable input.
std::unique_ptr<ServiceSession> openSession() {
  try {
    return std::make_unique<ServiceSession>(clientIdentifier());
  } catch (const mqtt::MqttError& error) {
    throw InputError(error.what());
  }
}

Deployment::Limits limitsOf(const PushOptions& options) {
  return {options.timeout, options.retries, kMaxInFlight};
}

std::vector<Item> ruleItems(std::vector<RuleFile> rules) {
  std::vector<Item> items;
  for (RuleFile& rule : rules) {
    const std::uint32_t crc = protocol::ruleCrc(rule.text);
    items.push_back({rule.name, kRulesTopicPrefix + rule.name, std::move(rule.text),
                     kRuleResultTopicPrefix + rule.name, crc});
  }
  return items;
}

// Everything is read before anything is published, so that a bad command
// line or file publishes nothing.
int pushAll(const PushOptions& options) {
  std::optional<Deployment> configuration;
  if (options.configuration) {
    configuration.emplace(
        std::vector<Item>{{kConfigurationLabel, kConfigurationTopic,
                           readInput(*options.configuration), kConfigurationResultTopic,
                           std::nullopt}},
        limitsOf(options));
  }
  Deployment rules(ruleItems(loadRules(options)), limitsOf(options));
  if (options.broker) {
    ::setenv("MQTT_BROKER_URL", options.broker->c_str(), 1);
  }
  const std::unique_ptr<ServiceSession> session = openSession();
  if (configuration) {
    const int status =
        run(*session, *configuration, kConfigurationAccepted, options, kConfigurationLabel);
    if (status != 0 || rules.items().empty()) {
      return status;
    }
  }
  return run(*session, rules, kRulesAccepted, options, "rule");
}

std::vector<std::string> argumentsOf(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace
}  // namespace talvoro::push

int main(int argc, char** argv) {
  using namespace talvoro::push;
  try {
    const PushOptions options = parseArguments(argumentsOf(argc, argv));
    if (options.help) {
      std::cout << usageText();
      return 0;
    }
    return pushAll(options);
  } catch (const UsageError& error) {
    std::cerr << "rules-push: " << error.what() << "\n(rules-push --help explains the usage)\n";
    return 2;
  } catch (const InputError& error) {
    std::cerr << "rules-push: " << error.what() << "\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "rules-push: " << error.what() << "\n";
    return 3;
  }
}
