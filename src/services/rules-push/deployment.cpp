#include "deployment.h"

#include <fmt/format.h>

#include "talvoro/rule_result.h"

namespace talvoro::push {

Deployment::Deployment(std::vector<Item> items, Limits limits)
    : items_(std::move(items)), limits_(limits), progress_(items_.size()), open_(items_.size()) {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    byResultTopic_.emplace(items_[i].resultTopic, i);
  }
}

Deployment::Step Deployment::due(Clock::time_point now) {
  Step step;
  for (std::size_t i = 0; i < progress_.size(); ++i) {
    if (progress_[i].phase == Phase::InFlight && progress_[i].deadline <= now) {
      resendOrGiveUp(i, step);
    }
  }
  while (nextFirstSend_ < items_.size() && inFlight_ < limits_.maxInFlight) {
    if (progress_[nextFirstSend_].phase == Phase::Waiting) {
      progress_[nextFirstSend_] = {Phase::InFlight, 1, false, Clock::time_point::max(), {}};
      ++inFlight_;
      step.send.push_back({nextFirstSend_, 1});
    }
    ++nextFirstSend_;
  }
  return step;
}

void Deployment::resendOrGiveUp(std::size_t index, Step& step) {
  Progress& progress = progress_[index];
  if (progress.attempts > limits_.retries) {
    finish(index, Phase::GaveUp);
    step.gaveUp.push_back(index);
    return;
  }
  ++progress.attempts;
  progress.acknowledged = false;
  progress.deadline = Clock::time_point::max();
  step.send.push_back({index, progress.attempts});
}

Deployment::Progress* Deployment::inFlight(std::size_t index, int attempt) {
  if (index >= progress_.size()) {
    return nullptr;
  }
  Progress& progress = progress_[index];
  const bool current = progress.phase == Phase::InFlight && progress.attempts == attempt &&
                       progress.deadline == Clock::time_point::max();
  return current ? &progress : nullptr;
}

void Deployment::delivered(std::size_t index, int attempt, Clock::time_point now) {
  if (Progress* progress = inFlight(index, attempt)) {
    progress->acknowledged = true;
    progress->deadline = now + limits_.timeout;
  }
}

void Deployment::notDelivered(std::size_t index, int attempt, Clock::time_point now) {
  if (Progress* progress = inFlight(index, attempt)) {
    progress->deadline = now + limits_.timeout;
  }
}

void Deployment::serviceLost() {
  for (Progress& progress : progress_) {
    if (progress.phase == Phase::InFlight) {
      progress.deadline = Clock::time_point::min();
    }
  }
}

void Deployment::reopen(std::size_t index) {
  Progress& progress = progress_[index];
  if (progress.phase != Phase::Done && progress.phase != Phase::GaveUp) {
    return;
  }
  progress.phase = Phase::InFlight;
  progress.attempts = 0;
  progress.deadline = Clock::time_point::min();
  ++inFlight_;
  ++open_;
}

std::vector<std::size_t> Deployment::giveUpAll() {
  std::vector<std::size_t> gaveUp;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const Phase phase = progress_[i].phase;
    if (phase == Phase::Waiting || phase == Phase::InFlight) {
      finish(i, Phase::GaveUp);
      gaveUp.push_back(i);
    }
  }
  nextFirstSend_ = items_.size();
  return gaveUp;
}

std::optional<std::size_t> Deployment::takeResult(const std::string& resultTopic,
                                                  std::optional<std::uint32_t> crc,
                                                  Outcome outcome) {
  const auto found = byResultTopic_.find(resultTopic);
  if (found == byResultTopic_.end()) {
    return std::nullopt;
  }
  const std::size_t index = found->second;
  const Item& item = items_[index];
  if (progress_[index].phase != Phase::InFlight || (item.crc && crc != item.crc)) {
    return std::nullopt;
  }
  progress_[index].outcome = std::move(outcome);
  finish(index, Phase::Done);
  return index;
}

void Deployment::finish(std::size_t index, Phase phase) {
  if (progress_[index].phase == Phase::InFlight) {
    --inFlight_;
  }
  progress_[index].phase = phase;
  --open_;
}

const Outcome* Deployment::outcomeOf(std::size_t index) const {
  return progress_[index].phase == Phase::Done ? &progress_[index].outcome : nullptr;
}

int Deployment::exitStatus() const {
  bool failed = false;
  bool warned = false;
  const std::string installed = protocol::outcomeName(protocol::Outcome::Installed);
  for (const Progress& progress : progress_) {
    if (progress.phase != Phase::Done) {
      return 3;
    }
    failed = failed || !protocol::isSuccess(progress.outcome.outcome);
    warned = warned ||
             (progress.outcome.outcome == installed && !progress.outcome.warning.empty());
  }
  return failed ? 1 : warned ? kInstalledWithWarning : 0;
}

std::vector<std::size_t> Deployment::unansweredAfterAcknowledgement() const {
  std::vector<std::size_t> unanswered;
  for (std::size_t i = 0; i < progress_.size(); ++i) {
    if (progress_[i].phase == Phase::GaveUp && progress_[i].acknowledged) {
      unanswered.push_back(i);
    }
  }
  return unanswered;
}

std::map<std::string, std::size_t> Deployment::counts() const {
  std::map<std::string, std::size_t> counts;
  for (const Progress& progress : progress_) {
    ++counts[progress.phase == Phase::Done ? progress.outcome.outcome : kNoResult];
  }
  return counts;
}

std::string Deployment::summary(const std::string& noun) const {
  return summaryText(noun, items_.size(), counts());
}

std::string summaryText(const std::string& noun, std::size_t total,
                        const std::map<std::string, std::size_t>& counts) {
  std::string text = fmt::format("summary: {} {}{}", total, noun, total == 1 ? "" : "s");
  const char* separator = "; ";
  for (const auto& [outcome, count] : counts) {
    text += fmt::format("{}{} {}", separator, count, outcome);
    separator = ", ";
  }
  return text;
}

}  // namespace talvoro::push
