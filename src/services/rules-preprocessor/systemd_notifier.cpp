#include "systemd_notifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace talvoro {

SystemdNotifier::SystemdNotifier() : listening_(std::getenv("NOTIFY_SOCKET") != nullptr) {
  std::uint64_t watchdogMicroseconds = 0;
  if (sd_watchdog_enabled(0, &watchdogMicroseconds) > 0) {
    // Every quarter of the interval, so that a batch may take up to three
    // quarters of it between two turns of the receive loop.
    keepAliveEvery_ = std::chrono::microseconds(watchdogMicroseconds / 4);
  }
}

void SystemdNotifier::ready() { sd_notify(0, "READY=1"); }

void SystemdNotifier::keepAlive() {
  if (keepAliveEvery_ == Clock::duration::zero()) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now - lastKeepAlive_ >= keepAliveEvery_) {
    sd_notify(0, "WATCHDOG=1");
    lastKeepAlive_ = now;
  }
}

std::optional<std::chrono::milliseconds> SystemdNotifier::untilKeepAlive() const {
  if (keepAliveEvery_ == Clock::duration::zero()) {
    return std::nullopt;
  }
  const Clock::duration left = lastKeepAlive_ + keepAliveEvery_ - Clock::now();
  return std::chrono::ceil<std::chrono::milliseconds>(std::max(left, Clock::duration::zero()));
}

void SystemdNotifier::status(const std::string& text) {
  if (text != status_) {
    status_ = text;
    sd_notify(0, ("STATUS=" + text).c_str());
  }
}

void SystemdNotifier::stopping() { sd_notify(0, "STOPPING=1\nSTATUS=stopping"); }

}  // namespace talvoro
