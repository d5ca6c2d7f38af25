#pragma once
// systemd's notification socket, as a test stands in for systemd: what the
// service said, and how long it left the watchdog waiting.

#include <chrono>
#include <filesystem>
#include <string>

namespace testsupport {

class NotifySocket {
 public:
  using Clock = std::chrono::steady_clock;

  // Binds a datagram socket at `path` (NOTIFY_SOCKET for the service).
  explicit NotifySocket(const std::filesystem::path& path);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // Every notification received so far, one line each.
  const std::string& received();
  // The longest time between two "WATCHDOG=1" so far, as they were taken:
  // call it often for a fine measure.
  Clock::duration longestWatchdogGap();

 private:
  int fd_;
  std::string received_;
  Clock::time_point lastWatchdog_{};
  Clock::duration longestGap_{};
};

}  // namespace testsupport
