#include "testsupport/notify_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace testsupport {

NotifySocket::NotifySocket(const std::filesystem::path& path)
    : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.string().copy(address.sun_path, sizeof address.sun_path - 1);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    throw std::runtime_error("cannot bind " + path.string());
  }
}

NotifySocket::~NotifySocket() { ::close(fd_); }

const std::string& NotifySocket::received() {
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
    const std::string notification(buffer, static_cast<std::size_t>(n));
    if (notification.find("WATCHDOG=1") != std::string::npos) {
      const auto now = Clock::now();
      if (lastWatchdog_ != Clock::time_point{}) {
        longestGap_ = std::max(longestGap_, now - lastWatchdog_);
      }
      lastWatchdog_ = now;
    }
    received_.append(notification).push_back('\n');
  }
  return received_;
}

NotifySocket::Clock::duration NotifySocket::longestWatchdogGap() {
  received();
  return longestGap_;
}

}  // namespace testsupport
