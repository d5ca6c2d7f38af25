#include "talvoro/mosquitto/detail/reconnection.h"

#include <fmt/format.h>

#include <algorithm>

#include "link_texts.h"

namespace talvoro::mosquitto::detail {

Reconnection::Reconnection(std::string uri) : uri_(std::move(uri)) {}

Reconnection::Action Reconnection::next(bool publicationsWait) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Clock::time_point tick = Clock::now() + kFlushTick;
  for (;;) {
    if (stopping_) {
      return Action::Stop;
    }
    const Clock::time_point now = Clock::now();
    if (attemptAt_ && now >= *attemptAt_) {
      attemptAt_.reset();
      return Action::Connect;
    }
    if (flushWanted_ || (publicationsWait && now >= tick)) {
      flushWanted_ = false;
      return Action::Flush;
    }
    const bool checking = connected_ && !dropping_;
    if (checking) {
      switch (linkCheck_.due(now)) {
        case LinkCheck::Due::Dead:
          dropping_ = true;
          dropCause_ = fmt::format("the broker answered nothing for {}",
                                   durationText(linkCheck_.silence(now)));
          return Action::Drop;
        case LinkCheck::Due::Probe:
          linkCheck_.probed(now);
          return Action::Probe;
        case LinkCheck::Due::Nothing:
          break;
      }
    }
    Clock::time_point wake = Clock::time_point::max();
    if (attemptAt_) {
      wake = std::min(wake, *attemptAt_);
    }
    if (checking) {
      wake = std::min(wake, linkCheck_.nextCheck());
    }
    if (publicationsWait) {
      wake = std::min(wake, tick);
    }
    if (wake == Clock::time_point::max()) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, wake);
    }
  }
}

void Reconnection::flushSoon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    flushWanted_ = true;
  }
  changed_.notify_all();
}

void Reconnection::connectSoon() {
  std::lock_guard<std::mutex> lock(mutex_);
  scheduleAttempt(Clock::duration::zero());
}

// Call with mutex_ held.
void Reconnection::scheduleAttempt(Clock::duration delay) {
  attemptAt_ = Clock::now() + delay;
  changed_.notify_all();
}

std::optional<LinkEvent> Reconnection::up() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    return std::nullopt;
  }
  const Clock::time_point now = Clock::now();
  connected_ = true;
  dropping_ = false;
  ++connection_;
  lastFailure_.clear();
  refusedWith_ = 0;
  retryDelay_ = kMinRetryDelay;
  attemptAt_.reset();
  linkCheck_.connected(now);
  changed_.notify_all();
  const std::optional<FailureReportThrottle::Outage> outage = failures_.succeeded(now);
  return LinkEvent{LinkEvent::Kind::Connected,
                   outage ? fmt::format("{}: connected after {} failed attempts over {}", uri_,
                                        outage->failedAttempts, durationText(outage->length))
                          : fmt::format("{}: connected", uri_)};
}

std::optional<LinkEvent> Reconnection::down(const std::string& cause) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool wasUp = connected_;
  connected_ = false;
  dropping_ = false;
  if (stopping_ || !wasUp) {
    return std::nullopt;
  }
  lastFailure_ = cause.empty() ? fmt::format("{}: connection lost", uri_)
                               : fmt::format("{}: connection lost: {}", uri_, cause);
  scheduleAttempt(kMinRetryDelay);
  return LinkEvent{LinkEvent::Kind::ConnectionLost, lastFailure_};
}

std::string Reconnection::dropCause() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropCause_;
}

std::optional<LinkEvent> Reconnection::attemptFailed(const MQTTAsync_failureData& data,
                                                     const std::string& tlsError,
                                                     const std::string& hint) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    return std::nullopt;
  }
  lastFailure_ = connectFailureText(uri_, data, tlsError);
  refusedWith_ = std::max(data.code, 0);
  lastFailure_ += hint;
  scheduleAttempt(retryDelay_);
  retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
  const std::size_t covered = failures_.failed(Clock::now());
  if (covered == 0) {
    return std::nullopt;
  }
  std::string report = lastFailure_;
  if (failures_.failedAttempts() > 1) {
    report += fmt::format("; {} failed attempts since the last report", covered);
  }
  return LinkEvent{LinkEvent::Kind::ConnectFailed, report};
}

void Reconnection::heard() {
  std::lock_guard<std::mutex> lock(mutex_);
  linkCheck_.heard(Clock::now());
}

void Reconnection::sent() {
  std::lock_guard<std::mutex> lock(mutex_);
  linkCheck_.sent(Clock::now());
}

LinkState Reconnection::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return LinkState{connected_, connection_, lastFailure_, refusedWith_};
}

bool Reconnection::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

void Reconnection::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

bool Reconnection::stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

}  // namespace talvoro::mosquitto::detail
