#include "controller_run.h"

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

// Deployment numbers in delivery reports: the configuration, the rules, the
// removals of --prune.
constexpr int kConfigurationNumber = 0;
constexpr int kRulesNumber = 1;
constexpr int kPruneNumber = 2;

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

}  // namespace

std::vector<Item> ruleItems(const std::vector<RuleFile>& rules) {
  std::vector<Item> items;
  for (const RuleFile& rule : rules) {
    items.push_back({rule.name, kRulesTopicPrefix + rule.name, rule.text,
                     kRuleResultTopicPrefix + rule.name, protocol::ruleCrc(rule.text)});
  }
  return items;
}

std::size_t inFlightShare(std::size_t controllers) {
  return std::clamp<std::size_t>(kLinkInFlight / std::max<std::size_t>(controllers, 1), 1,
                                 kMaxInFlight);
}

std::string secondsText(std::chrono::milliseconds duration) {
  return fmt::format("{:g} s", duration.count() / 1000.0);
}

ControllerRun::ControllerRun(std::unique_ptr<ServiceSession> session, const Plan& plan,
                             Reporter& reporter, const std::atomic<int>& stopSignal)
    : session_(std::move(session)), plan_(plan), reporter_(reporter), stopSignal_(stopSignal) {}

int ControllerRun::run() {
  deadlineAt_ = Clock::now() + plan_.deadline;
  const int status = plan_.list ? list() : plan_.check ? check() : deployAndPrune();
  reporter_.controllerDone(session_->controller(), status);
  session_.reset();
  return status;
}

int ControllerRun::deployAndPrune() {
  const int status = deploy(ruleItems(plan_.rules), true, "rule");
  if (!plan_.pruning.prune) {
    return status;
  }
  if (status != 0 && status != kInstalledWithWarning) {
    say("nothing pruned: the deployment did not succeed");
    return status;
  }
  return worstStatus({status, prune()});
}

// The configuration goes first; the rules only when it ends accepted or
// unchanged. A service that restarts and waits for an IO structure gets the
// configuration again before what is unanswered goes again.
int ControllerRun::deploy(std::vector<Item> items, bool withConfiguration,
                          const std::string& noun) {
  const Deployment::Limits limits{plan_.timeout, plan_.retries, plan_.inFlight};
  std::optional<Deployment> configuration;
  if (withConfiguration && plan_.configurationFile) {
    configuration.emplace(std::vector<Item>{{"configuration", kConfigurationTopic,
                                             plan_.configuration, kConfigurationResultTopic,
                                             std::nullopt}},
                          limits);
  }
  Deployment rules(std::move(items), limits);
  Deployment* const config = configuration ? &*configuration : nullptr;
  configuration_ = config;
  rulesNumber_ = withConfiguration ? kRulesNumber : kPruneNumber;
  noun_ = noun;
  phase_ = config != nullptr ? Phase::Configuration : Phase::Rules;
  unavailableSince_ = lastAcknowledgement_ = Clock::now();
  unacknowledged_.clear();
  acceptances_ = session_->acceptances();
  End end = End::No;
  while (end == End::No) {
    for (const Incoming& incoming : session_->receive(kPollInterval)) {
      handle(incoming, config, rules);
    }
    takeDeliveries(config, rules);
    probeInventory();
    if (twoServicesAnswer()) {
      end = End::TwoServices;
    } else if (phase_ == Phase::Configuration && config->finished()) {
      if (const std::optional<int> status = configurationFinished(*config, rules)) {
        return *status;
      }
    } else if (phase_ == Phase::Rules && rules.finished() && probeSettled()) {
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
std::optional<int> ControllerRun::configurationFinished(Deployment& configuration,
                                                    const Deployment& rules) {
  const int status = configuration.exitStatus();
  if (!configurationReported_) {
    configurationReported_ = true;
    report(configuration, 0);
    reporter_.summary(session_->controller(), configuration.summary("configuration"));
    if (status != 0 || rules.items().empty()) {
      return twoServicesAnswer() ? 3 : status;
    }
  } else if (status != 0) {
    say("the restarted service did not take the configuration");
  }
  phase_ = Phase::Rules;
  return std::nullopt;
}

// True when the service restarted without an IO structure and the
// configuration is to go again.
bool ControllerRun::serviceRestarted(Deployment* configuration, Deployment& rules) {
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
bool ControllerRun::serviceWithoutStructure() {
  if (session_->state() != "waiting") {
    return false;
  }
  say("the service has no IO structure and takes no rules until it gets one: give it with "
      "--configuration FILE (or publish it on " + kConfigurationTopic + ")");
  return true;
}

// Sends what is due when the service takes it; whether the run must end.
ControllerRun::End ControllerRun::step(Deployment& current) {
  const bool configuring = phase_ == Phase::Configuration;
  session_->accept(configuring ? kConfigurationAccepted : kRulesAccepted);
  const bool accepting = session_->accepting() && !brokerSilent(Clock::now());
  const End end = mustEnd(accepting, configuring ? "the configuration" : "rules");
  if (end == End::No && accepting) {
    advance(current, configuring ? kConfigurationNumber : rulesNumber_);
  }
  return end;
}

// Reports what is left open when the run ended early, the summary, and a hint
// for outdated rules; the exit status.
int ControllerRun::finishDeployment(End end, Deployment* configuration, Deployment& rules) {
  if (end != End::No) {
    noResultReason_ = whyNoResult(end);
    if (end == End::TwoServices) {
      say("two services answer on these topics: which one took what cannot be told; give each "
          "controller a prefix of its own");
    }
    if (configuration != nullptr && !configurationReported_) {
      configurationReported_ = true;
      reportAll(*configuration, configuration->giveUpAll());
      reporter_.summary(session_->controller(), configuration->summary("configuration"));
      if (end == End::TimedOut || end == End::Deadline) {
        return 3;  // the rules were never sent
      }
    } else if (configuration != nullptr) {
      configuration->giveUpAll();  // its line stands
    }
    reportAll(rules, rules.giveUpAll());
  }
  reporter_.summary(session_->controller(), rules.summary(noun_));
  hintAtMessageSize(rules);
  if (rules.counts().count(protocol::outcomeName(protocol::Outcome::Outdated)) != 0) {
    say("a rule is outdated when its timestamp line is not newer than the installed "
        "version's, also when only the IO structure changed; --retranslate has the service "
        "translate it again");
  }
  if (end == End::TwoServices) {
    return 3;
  }
  return end == End::Refused ? 5 : rules.exitStatus();
}

ControllerRun::End ControllerRun::mustEnd(bool available, const std::string& what) {
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

std::string ControllerRun::unavailability() const {
  if (brokerSilent(Clock::now())) {
    return fmt::format("the broker acknowledged nothing of what was sent to it for {}",
                       secondsText(plan_.timeout));
  }
  return session_->unavailability();
}

bool ControllerRun::brokerSilent(Clock::time_point now) const {
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
void ControllerRun::hintAtMessageSize(const Deployment& rules) const {
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

void ControllerRun::handle(const Incoming& incoming, Deployment* configuration,
                           Deployment& rules) {
  if (incoming.kind == Incoming::Kind::Status) {
    if (const auto crc = parseCrc(incoming.payload)) {
      statuses_[incoming.ruleName] = *crc;
    }
    return;
  }
  if (incoming.kind == Incoming::Kind::Inventory) {
    if (probe_) {
      probe_->take(incoming.payload);
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

void ControllerRun::takeDeliveries(Deployment* configuration, Deployment& rules) {
  const auto now = Clock::now();
  for (const DeliveryReport& delivery : session_->takeDeliveries()) {
    unacknowledged_.erase({delivery.deployment, delivery.index, delivery.attempt});
    if (delivery.delivered) {
      lastAcknowledgement_ = now;
    }
    Deployment* target = delivery.deployment == rulesNumber_          ? &rules
                         : delivery.deployment == kConfigurationNumber ? configuration
                                                                       : nullptr;
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

void ControllerRun::advance(Deployment& deployment, int number) {
  if (session_->acceptances() != acceptances_) {
    acceptances_ = session_->acceptances();
    deployment.serviceLost();
  }
  const Deployment::Step step = deployment.due(Clock::now());
  if (&deployment != configuration_) {
    // A configuration is reported when finished.
    noResultReason_ = fmt::format("timed out: no result after {} attempt{}", plan_.retries + 1,
                                  plan_.retries == 0 ? "" : "s");
    reportAll(deployment, step.gaveUp);
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

void ControllerRun::report(const Deployment& deployment, std::size_t index) {
  const Item& item = deployment.items()[index];
  const bool isConfiguration = &deployment == configuration_;
  const Outcome* outcome = deployment.outcomeOf(index);
  reporter_.item({&session_->controller(), isConfiguration,
                  isConfiguration ? *plan_.configurationFile : item.label, item.crc, outcome,
                  outcome == nullptr ? noResultReason_ : std::string()});
}

void ControllerRun::reportAll(const Deployment& deployment,
                              const std::vector<std::size_t>& indices) {
  for (const std::size_t index : indices) {
    report(deployment, index);
  }
}

void ControllerRun::say(const std::string& text) const {
  std::cerr << "rules-push: " + session_->controller().label + ": " + text + "\n" << std::flush;
}

}  // namespace talvoro::push
