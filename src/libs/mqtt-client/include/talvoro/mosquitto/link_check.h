#pragma once
// The client's keepalive: when to probe the link to the broker, and when to
// take it for dead. A full receive queue cannot mislead it.
//
// Anything heard from the broker (a message, an acknowledgement) proves the
// link alive. When nothing was heard for kProbeAfter, a probe goes out, a
// request the broker must answer, and so it does whenever nothing was sent
// for kProbeAfter (so that the broker, too, hears from us); when kDeadAfter
// passes after the first probe without anything heard, the link is dead. A receive
// queue that holds the socket back still lets a message in every few
// seconds, so a broker working through a backlog is never taken for dead,
// whereas the library's own keepalive wants its PINGRESP, which waits behind
// that backlog: the probes keep the library from sending PINGREQs at all.
// Not thread-safe: the owner serialises calls. Times are the caller's.

#include <algorithm>
#include <chrono>
#include <optional>

namespace talvoro::mosquitto {

class LinkCheck {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kProbeAfter = std::chrono::seconds(10);
  static constexpr Clock::duration kDeadAfter = std::chrono::seconds(20);

  enum class Due {
    Nothing,
    Probe,  // send a probe now, then tell probed()
    Dead,
  };

  // A new link, heard and written to at `now`.
  void connected(Clock::time_point now) {
    heard_ = sent_ = now;
    probedSince_.reset();
  }

  void heard(Clock::time_point now) {
    heard_ = std::max(heard_, now);
    probedSince_.reset();
  }

  // Something other than a probe went out.
  void sent(Clock::time_point now) { sent_ = std::max(sent_, now); }

  void probed(Clock::time_point now) {
    sent(now);
    if (!probedSince_) {
      probedSince_ = now;
    }
  }

  Due due(Clock::time_point now) const {
    if (probedSince_) {
      return now - *probedSince_ >= kDeadAfter ? Due::Dead
             : now - sent_ >= kProbeAfter      ? Due::Probe
                                               : Due::Nothing;
    }
    return now - sent_ >= kProbeAfter || now - heard_ >= kProbeAfter ? Due::Probe : Due::Nothing;
  }

  // When due() may next say something other than Nothing.
  Clock::time_point nextCheck() const {
    return std::min(sent_ + kProbeAfter,
                    probedSince_ ? *probedSince_ + kDeadAfter : heard_ + kProbeAfter);
  }

  // How long nothing was heard at `now`, for the report of a dead link.
  Clock::duration silence(Clock::time_point now) const { return now - heard_; }

 private:
  Clock::time_point heard_{};
  Clock::time_point sent_{};
  std::optional<Clock::time_point> probedSince_;  // the first probe since heard_
};

}  // namespace talvoro::mosquitto
