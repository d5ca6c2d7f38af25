#pragma once
// Decides which failed connection attempts are worth a log line, so that a
// broker that stays unreachable for days writes a bounded number of lines.
//
// The first failure of an outage is reported at once; later ones are counted
// and reported together at doubling intervals (kFirstInterval, twice that,
// ...) of at most kMaxInterval. Not thread-safe: the owner serialises calls.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>

namespace talvoro::mosquitto {

class FailureReportThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kFirstInterval = std::chrono::minutes(1);
  static constexpr Clock::duration kMaxInterval = std::chrono::hours(1);

  // The failures up to the last success.
  struct Outage {
    std::size_t failedAttempts = 0;
    Clock::duration length{};
  };

  // Records a failed attempt at `now`. Returns how many failed attempts the
  // report due now covers (this one included), or 0 when it is held back.
  std::size_t failed(Clock::time_point now) {
    ++unreported_;
    ++failedAttempts_;
    if (failedAttempts_ == 1) {
      outageStart_ = now;
      interval_ = kFirstInterval;
    } else if (now < nextReport_) {
      return 0;
    } else {
      interval_ = std::min<Clock::duration>(interval_ * 2, kMaxInterval);
    }
    nextReport_ = now + interval_;
    const std::size_t covered = unreported_;
    unreported_ = 0;
    return covered;
  }

  std::size_t failedAttempts() const { return failedAttempts_; }

  // Records a successful attempt at `now`; returns the outage it ends, if
  // any attempt failed since the last success.
  std::optional<Outage> succeeded(Clock::time_point now) {
    if (failedAttempts_ == 0) {
      return std::nullopt;
    }
    const Outage outage{failedAttempts_, now - outageStart_};
    failedAttempts_ = 0;
    unreported_ = 0;
    return outage;
  }

 private:
  std::size_t failedAttempts_ = 0;  // since the last success
  std::size_t unreported_ = 0;      // since the last report
  Clock::time_point outageStart_{};
  Clock::time_point nextReport_{};
  Clock::duration interval_ = kFirstInterval;
};

}  // namespace talvoro::mosquitto
