#pragma once
// What the service tells systemd: ready, alive (the watchdog), its state in
// words, stopping. Without NOTIFY_SOCKET (not started by systemd) it says nothing.

#include <chrono>
#include <optional>
#include <string>

namespace talvoro {

class SystemdNotifier {
 public:
  SystemdNotifier();

  // The service does its work from now on.
  void ready();
  // Tells the watchdog that the receive loop is alive, when a quarter of its
  // interval has passed since the last time; nothing without a watchdog.
  void keepAlive();
  // How long until keepAlive() has something to say; nothing without a
  // watchdog.
  std::optional<std::chrono::milliseconds> untilKeepAlive() const;
  // Whether systemd listens (NOTIFY_SOCKET is set): without it, a status
  // need not even be worded.
  bool listening() const { return listening_; }
  // The state in words, as `systemctl status` shows it; sent when it changed.
  void status(const std::string& text);
  void stopping();

 private:
  using Clock = std::chrono::steady_clock;

  bool listening_ = false;
  Clock::duration keepAliveEvery_{};
  Clock::time_point lastKeepAlive_{};
  std::string status_;
};

}  // namespace talvoro
