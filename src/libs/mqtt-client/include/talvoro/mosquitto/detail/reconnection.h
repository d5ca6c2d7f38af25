#pragma once
// The link to the broker over time: up or down and why, when to try again
// (1 s growing to 30 s between attempts), when to probe the link and when to
// give it up for dead (LinkCheck), and which failures are worth a report.
// It decides; the client's link thread does what next() says.

#include <MQTTAsync.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "talvoro/mosquitto/failure_report_throttle.h"
#include "talvoro/mosquitto/link_check.h"
#include "talvoro/mosquitto/mqtt_types.h"

namespace talvoro::mosquitto::detail {

class Reconnection {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kMinRetryDelay = std::chrono::seconds(1);
  static constexpr Clock::duration kMaxRetryDelay = std::chrono::seconds(30);
  // How often waiting publications are offered to the library again.
  static constexpr Clock::duration kFlushTick = std::chrono::seconds(1);

  enum class Action {
    Stop,     // the client is going
    Connect,  // make a connection attempt
    Probe,    // ask the broker for an answer (LinkCheck)
    Drop,     // the broker stopped answering: close the link
    Flush,    // hand waiting publications to the library
  };

  // `uri` names the broker in the texts of the events.
  explicit Reconnection(std::string uri);

  // For the link thread: waits until something is due and says what. With
  // `publicationsWait`, Flush comes at least every kFlushTick.
  Action next(bool publicationsWait);

  // Asks the link thread for a Flush now.
  void flushSoon();
  // Connect now (the first attempt).
  void connectSoon();

  // A connection is up (state() counts it); the event to report, nothing
  // once stop() was called.
  std::optional<LinkEvent> up();
  // The link broke (`cause` may be empty); the event to report, nothing when
  // it was down already or the client is stopping. Tries again in 1 s.
  std::optional<LinkEvent> down(const std::string& cause);
  // The broker stopped answering: why, for down().
  std::string dropCause() const;
  // A connection attempt failed (`tlsError`, `hint` may be empty); the event
  // to report, when one is due.
  std::optional<LinkEvent> attemptFailed(const MQTTAsync_failureData& data,
                                         const std::string& tlsError, const std::string& hint);

  // The broker answered something; something went out to it.
  void heard();
  void sent();

  LinkState state() const;
  bool connected() const;

  void stop();
  bool stopping() const;

 private:
  void scheduleAttempt(Clock::duration delay);

  const std::string uri_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool connected_ = false;
  bool dropping_ = false;  // Drop said, the link not down yet
  bool flushWanted_ = false;
  std::uint64_t connection_ = 0;
  std::optional<Clock::time_point> attemptAt_;
  Clock::duration retryDelay_ = kMinRetryDelay;
  FailureReportThrottle failures_;
  LinkCheck linkCheck_;
  std::string lastFailure_;
  std::string dropCause_;
  int refusedWith_ = 0;
};

}  // namespace talvoro::mosquitto::detail
