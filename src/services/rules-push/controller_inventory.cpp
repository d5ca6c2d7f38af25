// The parts of a controller's run that read its inventory: the plan of
// --check (with the retained statuses as the fallback for a service that
// gives no inventory), --list, --prune, and the probe by which a deployment
// notices two services answering on one controller's topics.

#include <fmt/format.h>

#include <chrono>

#include "controller_run.h"
#include "plan_signing.h"
#include "status_check.h"
#include "talvoro/rule_crc.h"
#include "talvoro/rules_protocol.h"

namespace talvoro::push {
namespace {

using protocol::kStatusTopicPrefix;

// How long, after an inventory's last page, a second service's answer to the
// same request is waited for.
constexpr std::chrono::milliseconds kSecondAnswerWait{300};
// The most a deployment waits at its end for its inventory probe.
constexpr std::chrono::milliseconds kProbeWait{1000};

// An item per rule that "sends" by subscribing to its status.
std::vector<Item> statusItems(const std::vector<RuleFile>& rules) {
  std::vector<Item> items;
  for (const RuleFile& rule : rules) {
    items.push_back({rule.name, kStatusTopicPrefix + rule.name, {},
                     kStatusTopicPrefix + rule.name, protocol::ruleCrc(rule.text)});
  }
  return items;
}

}  // namespace

ControllerRun::InventoryAnswer ControllerRun::fetchInventory() {
  std::optional<InventoryReader> reader;
  std::uint64_t requestedOn = 0;
  Clock::time_point waitingSince = Clock::now();
  std::optional<Clock::time_point> completeAt;
  for (;;) {
    for (const Incoming& incoming : session_->receive(kPollInterval)) {
      if (incoming.kind == Incoming::Kind::Inventory && reader) {
        reader->take(incoming.payload);
      }
    }
    const auto now = Clock::now();
    if (reader && reader->answeredTwice()) {
      return {std::nullopt, End::TwoServices};
    }
    if (reader && reader->complete()) {
      completeAt = completeAt.value_or(now);
      if (now - *completeAt >= kSecondAnswerWait) {
        return {reader->inventory(), End::No};
      }
      continue;
    }
    if (stopSignal_.load() != 0) {
      interrupted_ = true;
      return {std::nullopt, End::Interrupted};
    }
    if (const auto refusal = session_->refusal()) {
      say(*refusal + "; not trying again");
      return {std::nullopt, End::Refused};
    }
    if (now >= deadlineAt_) {
      return {std::nullopt, End::Deadline};
    }
    if (session_->hearsInventory() && session_->connection() != requestedOn) {
      reader.emplace(newInventoryRequestId());
      session_->requestInventory(reader->request());
      requestedOn = session_->connection();
      waitingSince = now;
    } else if (now - waitingSince > plan_.timeout) {
      return {std::nullopt, End::TimedOut};
    }
  }
}

std::string ControllerRun::whyNoResult(End end) const {
  switch (end) {
    case End::Refused:
      return "refused: " + session_->refusal().value_or("the broker refused the login");
    case End::Interrupted:
      return "interrupted";
    case End::TwoServices:
      return "two services answer on these topics";
    case End::NoStructure:
      return "no IO structure";
    default:
      break;
  }
  if (!session_->connected()) {
    return "unreachable: " + session_->unavailability();
  }
  const std::string state = session_->state();
  if (state.empty() || state == "offline") {
    return "no service: " + session_->unavailability();
  }
  if (end == End::Deadline) {
    return fmt::format("timed out: the deadline of {} passed", secondsText(plan_.deadline));
  }
  return "timed out: " + session_->unavailability();
}

// Without an inventory the plan says what the retained statuses say, where
// there is a service that could not be asked.
int ControllerRun::check() {
  const InventoryAnswer answer = fetchInventory();
  if (answer.inventory) {
    reportPlan(planFromInventory(plan_.rules, *answer.inventory, plan_.pruning));
    return planExitStatus(planCounts_);
  }
  if (answer.end == End::TimedOut && session_->connected()) {
    say(fmt::format("the service did not answer the inventory request within {}; judged by the "
                    "retained statuses instead, which tell which text the service received, "
                    "not whether its file is in place{}",
                    secondsText(plan_.timeout),
                    plan_.pruning.prune ? " (what --prune would remove is not known)" : ""));
    return checkStatuses();
  }
  noResultReason_ = whyNoResult(answer.end);
  if (answer.end == End::TwoServices) {
    say("two services answer the inventory request on these topics: they cannot be told apart");
  }
  for (const RuleFile& rule : plan_.rules) {
    reporter_.item({&session_->controller(), false, rule.name, protocol::ruleCrc(rule.text),
                    nullptr, noResultReason_});
  }
  reporter_.summary(session_->controller(),
                    summaryText("rule", plan_.rules.size(), {{kNoResult, plan_.rules.size()}}));
  return answer.end == End::Refused ? 5 : 3;
}

void ControllerRun::reportPlan(const std::vector<PlanLine>& lines) {
  planCounts_.clear();
  for (const PlanLine& line : lines) {
    ++planCounts_[line.verdict.outcome];
    reporter_.item({&session_->controller(), false, line.name, line.crc, &line.verdict});
  }
  reporter_.summary(session_->controller(), summaryText("rule", lines.size(), planCounts_));
}

int ControllerRun::list() {
  const InventoryAnswer answer = fetchInventory();
  const Controller& controller = session_->controller();
  if (!answer.inventory) {
    reporter_.item({&controller, false, "inventory", std::nullopt, nullptr,
                    whyNoResult(answer.end)});
    return answer.end == End::Refused ? 5 : 3;
  }
  std::map<std::string, std::size_t> counts;
  for (const InstalledRule& rule : answer.inventory->rules) {
    ++counts[rule.state];
    reporter_.installed(controller, rule);
  }
  reporter_.summary(controller, summaryText("rule", answer.inventory->rules.size(), counts));
  return 0;
}

int ControllerRun::prune() {
  const InventoryAnswer answer = fetchInventory();
  if (!answer.inventory) {
    say("nothing pruned: no inventory: " + whyNoResult(answer.end));
    return answer.end == End::Refused ? 5 : 3;
  }
  std::vector<RuleFile> removals;
  for (std::string& name : rulesToPrune(plan_.rules, *answer.inventory, plan_.pruning)) {
    removals.push_back({std::move(name), {}});
  }
  if (removals.empty()) {
    reporter_.summary(session_->controller(), "summary: nothing to prune");
    return 0;
  }
  if (plan_.signKey) {
    signDeployment(*plan_.signKey, secondsNow(), removals, nullptr);
  }
  return deploy(ruleItems(removals), false, "removal");
}

void ControllerRun::probeInventory() {
  if (session_->hearsInventory() && session_->connection() != probedOn_) {
    probe_.emplace(newInventoryRequestId());
    session_->requestInventory(probe_->request());
    probedOn_ = session_->connection();
    probedAt_ = Clock::now();
    probeCompleteAt_.reset();
  }
}

bool ControllerRun::twoServicesAnswer() const { return probe_ && probe_->answeredTwice(); }

bool ControllerRun::probeSettled() {
  if (!probe_) {
    return true;
  }
  const auto now = Clock::now();
  if (probe_->complete()) {
    probeCompleteAt_ = probeCompleteAt_.value_or(now);
    return now - *probeCompleteAt_ >= kSecondAnswerWait;
  }
  return now - probedAt_ >= kProbeWait;
}

// Statuses are read a batch at a time: subscriptions to the status of each
// rule of the batch, then to the retained state of the service, which the
// broker sends after the retained statuses of every earlier subscription. So
// when the state arrives, every rule of the batch without a status has none.
int ControllerRun::checkStatuses() {
  Deployment statuses(statusItems(plan_.rules), {plan_.timeout, plan_.retries, plan_.inFlight});
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
      noResultReason_ = whyNoResult(end);
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
  reporter_.summary(session_->controller(), statuses.summary("rule"));
  return end == End::Refused ? 5 : checkExitStatus(statuses.counts());
}

void ControllerRun::subscribeBatch(Deployment& statuses, Batch& batch) {
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
void ControllerRun::concludeBatchWhenMarked(Deployment& statuses, Batch& batch) {
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

}  // namespace talvoro::push
