#include "broker_run.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "status_check.h"
#include "talvoro/rule_crc.h"
#include "talvoro/rule_result.h"
#include "talvoro/rules_protocol.h"

namespace talvoro::push {
namespace {

using protocol::kConfigurationResultTopic;
using protocol::kConfigurationTopic;
using protocol::kRuleResultTopicPrefix;
using protocol::kRulesTopicPrefix;
using protocol::kStatusTopicPrefix;

constexpr std::chrono::milliseconds kPollInterval{20};
// --check: statuses asked for at a time, few enough that the broker queues
// all of them for us.
constexpr std::size_t kCheckBatch = 100;
// Deployment numbers in delivery reports.
constexpr int kConfigurationNumber = 0;
constexpr int kRulesNumber = 1;

const std::set<std::string> kRulesAccepted = {"ready"};
const std::set<std::string> kConfigurationAccepted = {"waiting", "ready"};

std::optional<std::uint32_t> parseCrc(const std::string& text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value > 0xFFFFFFFFull ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

struct Result {
  std::optional<std::uint32_t> crc;
  Outcome outcome;
};

// A result that is not JSON of the expected form is somebody else's
// business: nothing.
std::optional<Result> parseResult(const std::string& payload) {
  const nlohmann::json result = nlohmann::json::parse(payload, nullptr, false);
  using protocol::kCrcField;
  using protocol::kOutcomeField;
  using protocol::kReasonField;
  if (!result.is_object() || !result.contains(kOutcomeField) ||
      !result[kOutcomeField].is_string()) {
    return std::nullopt;
  }
  Result parsed{std::nullopt, {result[kOutcomeField].get<std::string>(), {}}};
  if (result.contains(kCrcField) && result[kCrcField].is_number_unsigned() &&
      result[kCrcField].get<std::uint64_t>() <= 0xFFFFFFFFull) {
    parsed.crc = result[kCrcField].get<std::uint32_t>();
  }
  if (result.contains(kReasonField) && result[kReasonField].is_string()) {
    parsed.outcome.reason = result[kReasonField].get<std::string>();
  }
  if (result.contains(protocol::kWarningField) && result[protocol::kWarningField].is_string()) {
    parsed.outcome.warning = result[protocol::kWarningField].get<std::string>();
  }
  return parsed;
}

std::vector<Item> ruleItems(const std::vector<RuleFile>& rules) {
  std::vector<Item> items;
  for (const RuleFile& rule : rules) {
    items.push_back({rule.name, kRulesTopicPrefix + rule.name, rule.text,
                     kRuleResultTopicPrefix + rule.name, protocol::ruleCrc(rule.text)});
  }
  return items;
}

// --check: an item per rule that "sends" by subscribing to its status.
std::vector<Item> statusItems(const std::vector<RuleFile>& rules) {
  std::vector<Item> items;
  for (const RuleFile& rule : rules) {
    items.push_back({rule.name, kStatusTopicPrefix + rule.name, {},
                     kStatusTopicPrefix + rule.name, protocol::ruleCrc(rule.text)});
  }
  return items;
}

std::string secondsText(std::chrono::milliseconds duration) {
  return fmt::format("{:g} s", duration.count() / 1000.0);
}

}  // namespace

BrokerRun::BrokerRun(std::unique_ptr<ServiceSession> session, const Plan& plan,
                     Reporter& reporter, const std::atomic<int>& stopSignal)
    : session_(std::move(session)), plan_(plan), reporter_(reporter), stopSignal_(stopSignal) {}

int BrokerRun::run() {
  deadlineAt_ = Clock::now() + plan_.deadline;
  const int status = plan_.check ? check() : deploy();
  session_.reset();
  return status;
}

// The configuration goes first; the rules only when it ends accepted or
// unchanged. A service that restarts and waits for an IO structure gets the
// configuration again before what is unanswered goes again.
int BrokerRun::deploy() {
  const Deployment::Limits limits{plan_.timeout, plan_.retries, kMaxInFlight};
  std::optional<Deployment> configuration;
  if (plan_.configurationFile) {
    configuration.emplace(std::vector<Item>{{"configuration", kConfigurationTopic,
                                             plan_.configuration, kConfigurationResultTopic,
                                             std::nullopt}},
                          limits);
  }
  Deployment rules(ruleItems(plan_.rules), limits);
  Deployment* const config = configuration ? &*configuration : nullptr;
  configuration_ = config;
  phase_ = config != nullptr ? Phase::Configuration : Phase::Rules;
  unavailableSince_ = lastAcknowledgement_ = Clock::now();
  acceptances_ = session_->acceptances();
  End end = End::No;
  while (end == End::No) {
    for (const Incoming& incoming : session_->receive(kPollInterval)) {
      handle(incoming, config, rules);
    }
    takeDeliveries(config, rules);
    if (phase_ == Phase::Configuration && config->finished()) {
      if (const std::optional<int> status = configurationFinished(*config, rules)) {
        return *status;
      }
    } else if (phase_ == Phase::Rules && rules.finished()) {
      break;
    } else if (phase_ == Phase::Rules && serviceRestarted(config, rules)) {
      phase_ = Phase::Configuration;
    } else if (config == nullptr && serviceWithoutStructure()) {
      end = End::NoStructure;
    } else {
      end = step(phase_ == Phase::Configuration ? *config : rules);
    }
  }
  return finishDeployment(end, config, rules);
}

// The configuration's first result is reported; with a failure the rules
// never go out: the exit status then.
std::optional<int> BrokerRun::configurationFinished(Deployment& configuration,
                                                    const Deployment& rules) {
  const int status = configuration.exitStatus();
  if (!configurationReported_) {
    configurationReported_ = true;
    report(configuration, 0);
    reporter_.summary(session_->broker(), configuration.summary("configuration"));
    if (status != 0 || rules.items().empty()) {
      return status;
    }
  } else if (status != 0) {
    say("the restarted service did not take the configuration");
  }
  phase_ = Phase::Rules;
  return std::nullopt;
}

// True when the service restarted without an IO structure and the
// configuration is to go again.
bool BrokerRun::serviceRestarted(Deployment* configuration, Deployment& rules) {
  if (configuration == nullptr) {
    return false;
  }
  // A "waiting" heard after the configuration's last result: the service that
  // took it is gone.
  if (session_->state() != "waiting" || session_->stateSerial() <= configurationSerial_) {
    return false;
  }
  say("the service restarted without an IO structure; sending the configuration again");
  configuration->reopen(0);
  rules.serviceLost();
  return true;
}

// Without a configuration to give, a service that has no IO structure
// takes nothing that this run could send: the run ends at once.
bool BrokerRun::serviceWithoutStructure() {
  if (session_->state() != "waiting") {
    return false;
  }
  say("the service has no IO structure and takes no rules until it gets one: give it with "
      "--configuration FILE (or publish it on " + kConfigurationTopic + ")");
  return true;
}

// Sends what is due when the service takes it; whether the run must end.
BrokerRun::End BrokerRun::step(Deployment& current) {
  const bool configuring = phase_ == Phase::Configuration;
  session_->accept(configuring ? kConfigurationAccepted : kRulesAccepted);
  const bool accepting = session_->accepting() && !brokerSilent(Clock::now());
  const End end = mustEnd(accepting, configuring ? "the configuration" : "rules");
  if (end == End::No && accepting) {
    advance(current, configuring ? kConfigurationNumber : kRulesNumber);
  }
  return end;
}

// Reports what is left open when the run ended early, the summary, and a hint
// for outdated rules; the exit status.
int BrokerRun::finishDeployment(End end, Deployment* configuration, Deployment& rules) {
  if (end != End::No) {
    if (configuration != nullptr && !configurationReported_) {
      configurationReported_ = true;
      reportAll(*configuration, configuration->giveUpAll());
      reporter_.summary(session_->broker(), configuration->summary("configuration"));
      if (end == End::TimedOut || end == End::Deadline) {
        return 3;  // the rules were never sent
      }
    } else if (configuration != nullptr) {
      configuration->giveUpAll();  // its line stands
    }
    reportAll(rules, rules.giveUpAll());
  }
  reporter_.summary(session_->broker(), rules.summary("rule"));
  hintAtMessageSize(rules);
  if (rules.counts().count(protocol::outcomeName(protocol::Outcome::Outdated)) != 0) {
    say("a rule is outdated when its timestamp line is not newer than the installed "
        "version's, also when only the IO structure changed; --retranslate has the service "
        "translate it again");
  }
  return end == End::Refused ? 5 : rules.exitStatus();
}

BrokerRun::End BrokerRun::mustEnd(bool available, const std::string& what) {
  if (stopSignal_.load() != 0) {
    interrupted_ = true;
    return End::Interrupted;
  }
  if (const auto refusal = session_->refusal()) {
    say(*refusal + "; not trying again");
    return End::Refused;
  }
  const auto now = Clock::now();
  if (now >= deadlineAt_) {
    say(fmt::format("the deadline of {} passed (--deadline){}", secondsText(plan_.deadline),
                    available ? "" : ": " + unavailability()));
    return End::Deadline;
  }
  if (available) {
    unavailableSince_ = now;
    return End::No;
  }
  if (now - unavailableSince_ <= plan_.timeout) {
    return End::No;
  }
  say(fmt::format("no answer: the service did not take {} for {}: {}", what,
                  secondsText(plan_.timeout), unavailability()));
  return End::TimedOut;
}

std::string BrokerRun::unavailability() const {
  if (brokerSilent(Clock::now())) {
    return fmt::format("the broker acknowledged nothing of what was sent to it for {}",
                       secondsText(plan_.timeout));
  }
  return session_->unavailability();
}

bool BrokerRun::brokerSilent(Clock::time_point now) const {
  if (unacknowledged_.empty()) {
    return false;
  }
  Clock::time_point oldest = Clock::time_point::max();
  for (const auto& [publication, sentAt] : unacknowledged_) {
    oldest = std::min(oldest, sentAt);
  }
  return now - std::max(oldest, lastAcknowledgement_) > plan_.timeout;
}

// A broker drops a message larger than its message_size_limit and still
// acknowledges it: the service then never answers, and nothing says why.
void BrokerRun::hintAtMessageSize(const Deployment& rules) const {
  const std::vector<std::size_t> unanswered = rules.unansweredAfterAcknowledgement();
  if (unanswered.empty()) {
    return;
  }
  std::size_t smallestUnanswered = SIZE_MAX;
  for (const std::size_t index : unanswered) {
    smallestUnanswered = std::min(smallestUnanswered, rules.items()[index].payload.size());
  }
  std::optional<std::size_t> largestAnswered;
  for (std::size_t i = 0; i < rules.items().size(); ++i) {
    if (rules.outcomeOf(i) != nullptr) {
      largestAnswered = std::max(largestAnswered.value_or(0), rules.items()[i].payload.size());
    }
  }
  const std::string taken =
      fmt::format("the broker took {} rule{} (the smallest {} bytes) that the service never "
                  "answered",
                  unanswered.size(), unanswered.size() == 1 ? "" : "s", smallestUnanswered);
  if (!largestAnswered) {
    say(taken + ": the service may be stuck, or the broker drops messages larger than its "
                "message_size_limit without a word (mosquitto.conf)");
  } else if (smallestUnanswered > *largestAnswered) {
    say(fmt::format("{}, each larger than every rule it answered (at most {} bytes): the broker "
                    "may drop messages larger than its message_size_limit without a word "
                    "(mosquitto.conf)",
                    taken, *largestAnswered));
  }
}

void BrokerRun::handle(const Incoming& incoming, Deployment* configuration, Deployment& rules) {
  if (incoming.kind == Incoming::Kind::Status) {
    if (const auto crc = parseCrc(incoming.payload)) {
      statuses_[incoming.ruleName] = *crc;
    }
    return;
  }
  const std::optional<Result> result = parseResult(incoming.payload);
  if (!result) {
    return;
  }
  if (incoming.kind == Incoming::Kind::ConfigurationResult) {
    if (configuration != nullptr &&
        configuration->takeResult(incoming.topic, result->crc, result->outcome)) {
      configurationSerial_ = session_->stateSerial();
    }
  } else if (const auto index = rules.takeResult(incoming.topic, result->crc, result->outcome)) {
    report(rules, *index);
  }
}

void BrokerRun::takeDeliveries(Deployment* configuration, Deployment& rules) {
  const auto now = Clock::now();
  for (const DeliveryReport& delivery : session_->takeDeliveries()) {
    unacknowledged_.erase({delivery.deployment, delivery.index, delivery.attempt});
    if (delivery.delivered) {
      lastAcknowledgement_ = now;
    }
    Deployment* target = delivery.deployment == kRulesNumber ? &rules : configuration;
    if (target == nullptr) {
      continue;
    }
    if (delivery.delivered) {
      target->delivered(delivery.index, delivery.attempt, now);
    } else {
      target->notDelivered(delivery.index, delivery.attempt, now);
    }
  }
}

void BrokerRun::advance(Deployment& deployment, int number) {
  if (session_->acceptances() != acceptances_) {
    acceptances_ = session_->acceptances();
    deployment.serviceLost();
  }
  const Deployment::Step step = deployment.due(Clock::now());
  if (&deployment != configuration_) {
    reportAll(deployment, step.gaveUp);  // a configuration is reported when finished
  }
  const auto now = Clock::now();
  for (const Deployment::Send& send : step.send) {
    if (unacknowledged_.empty()) {
      lastAcknowledgement_ = now;  // the broker's silence counts from here
    }
    unacknowledged_[{number, send.index, send.attempt}] = now;
    session_->publish(deployment.items()[send.index], number, send.index, send.attempt);
  }
}

// Statuses are read a batch at a time: subscriptions to the status of each
// rule of the batch, then to the retained state of the service, which the
// broker sends after the retained statuses of every earlier subscription. So
// when the state arrives, every rule of the batch without a status has none.
int BrokerRun::check() {
  Deployment statuses(statusItems(plan_.rules), {plan_.timeout, plan_.retries, kCheckBatch});
  Batch batch;
  std::uint64_t connection = 0;
  unavailableSince_ = lastAcknowledgement_ = Clock::now();
  End end = End::No;
  while (!statuses.finished()) {
    for (const Incoming& incoming : session_->receive(kPollInterval)) {
      handle(incoming, nullptr, statuses);
    }
    concludeBatchWhenMarked(statuses, batch);
    if (statuses.finished()) {
      break;
    }
    if ((end = mustEnd(session_->connected(), "the status subscriptions")) != End::No) {
      reportAll(statuses, statuses.giveUpAll());
      break;
    }
    if (!session_->connected()) {
      continue;
    }
    if (session_->connection() != connection) {
      connection = session_->connection();
      statuses.serviceLost();  // what was subscribed is subscribed again
      batch.indices.clear();
    }
    if (batch.indices.empty()) {
      subscribeBatch(statuses, batch);
    }
  }
  reporter_.summary(session_->broker(), statuses.summary("rule"));
  return end == End::Refused ? 5 : checkExitStatus(statuses.counts());
}

void BrokerRun::subscribeBatch(Deployment& statuses, Batch& batch) {
  const auto now = Clock::now();
  const Deployment::Step step = statuses.due(now);
  reportAll(statuses, step.gaveUp);
  for (const Deployment::Send& send : step.send) {
    session_->subscribeStatus(statuses.items()[send.index].label);
    batch.indices.push_back(send.index);
  }
  if (!batch.indices.empty()) {
    batch.markerNeeded = session_->stateSerial() + 1;
    batch.markedAt = now;
    session_->markStatuses();
  }
}

// Judges the rules of the batch once the marker came, or, on a broker that
// holds no state of the service, once the timeout passed.
void BrokerRun::concludeBatchWhenMarked(Deployment& statuses, Batch& batch) {
  if (batch.indices.empty()) {
    return;
  }
  if (session_->stateSerial() < batch.markerNeeded) {
    if (Clock::now() - batch.markedAt <= plan_.timeout) {
      return;
    }
    if (!toldNoMarker_) {
      toldNoMarker_ = true;
      say(fmt::format("the broker holds no state of the service to mark the end of the "
                      "statuses; judged by the statuses that came within {}",
                      secondsText(plan_.timeout)));
    }
  }
  for (const std::size_t index : batch.indices) {
    const Item& item = statuses.items()[index];
    const auto heard = statuses_.find(item.label);
    const Outcome verdict = checkVerdict(
        *item.crc, heard == statuses_.end() ? std::nullopt : std::optional(heard->second));
    if (statuses.takeResult(item.resultTopic, item.crc, verdict)) {
      report(statuses, index);
    }
  }
  batch.indices.clear();
}

void BrokerRun::report(const Deployment& deployment, std::size_t index) {
  const Item& item = deployment.items()[index];
  const bool isConfiguration = &deployment == configuration_;
  reporter_.item({session_->broker(), isConfiguration,
                  isConfiguration ? *plan_.configurationFile : item.label, item.crc,
                  deployment.outcomeOf(index)});
}

void BrokerRun::reportAll(const Deployment& deployment, const std::vector<std::size_t>& indices) {
  for (const std::size_t index : indices) {
    report(deployment, index);
  }
}

void BrokerRun::say(const std::string& text) const {
  std::cerr << "rules-push: " + session_->broker() + ": " + text + "\n" << std::flush;
}

}  // namespace talvoro::push
