#include "deployment.h"

#include <fmt/format.h>

#include <map>

namespace talvoro::push {
namespace {

bool isSuccess(const std::string& outcome) {
  return outcome == "installed" || outcome == "cleared" || outcome == "unchanged" ||
         outcome == "accepted";
}

}  // namespace

Deployment::Deployment(std::vector<Item> items, Limits limits)
    : items_(std::move(items)), limits_(limits), progress_(items_.size()), open_(items_.size()) {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    byLabel_.emplace(items_[i].label, i);
    byResultTopic_.emplace(items_[i].resultTopic, i);
  }
}

Deployment::Step Deployment::due(Clock::time_point now) {
  Step step;
  for (std::size_t i = 0; i < nextFirstSend_; ++i) {
    if (progress_[i].phase == Phase::InFlight && progress_[i].deadline <= now) {
      resendOrGiveUp(i, now, step);
    }
  }
  while (nextFirstSend_ < items_.size() && inFlight_ < limits_.maxInFlight) {
    Progress& progress = progress_[nextFirstSend_];
    progress = {Phase::InFlight, 1, now + limits_.timeout, {}};
    ++inFlight_;
    step.send.push_back(nextFirstSend_++);
  }
  return step;
}

void Deployment::resendOrGiveUp(std::size_t index, Clock::time_point now, Step& step) {
  Progress& progress = progress_[index];
  if (progress.attempts > limits_.retries) {
    finish(index, Phase::GaveUp);
    step.gaveUp.push_back(index);
    return;
  }
  ++progress.attempts;
  progress.deadline = now + limits_.timeout;
  step.send.push_back(index);
}

void Deployment::serviceLost() {
  for (Progress& progress : progress_) {
    if (progress.phase == Phase::InFlight) {
      progress.deadline = Clock::time_point::min();
    }
  }
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

void Deployment::noteStatus(const std::string& label, std::uint32_t crc) {
  if (byLabel_.count(label) != 0) {
    statuses_[label] = crc;
  }
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
  // A resent text that the service had installed before its result was lost
  // comes back "outdated" when it carries a timestamp; the status shows that
  // this very text is the installed one.
  const auto status = statuses_.find(item.label);
  if (outcome.outcome == "outdated" && item.crc && status != statuses_.end() &&
      status->second == *item.crc) {
    outcome = {"unchanged", "installed already; the service said: " + outcome.reason};
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
  int status = 0;
  for (const Progress& progress : progress_) {
    if (progress.phase != Phase::Done) {
      return 3;
    }
    if (!isSuccess(progress.outcome.outcome)) {
      status = 1;
    }
  }
  return status;
}

std::string Deployment::summary(const std::string& noun) const {
  std::map<std::string, std::size_t> counts;
  for (const Progress& progress : progress_) {
    ++counts[progress.phase == Phase::Done ? progress.outcome.outcome : "no result"];
  }
  std::string text = fmt::format("summary: {} {}{}", items_.size(), noun,
                                 items_.size() == 1 ? "" : "s");
  const char* separator = "; ";
  for (const auto& [outcome, count] : counts) {
    text += fmt::format("{}{} {}", separator, count, outcome);
    separator = ", ";
  }
  return text;
}

}  // namespace talvoro::push
