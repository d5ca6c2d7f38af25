#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Polls `predicate` until it holds or `timeout` passes; the result of the last
// poll. Tests wait with it for effects in other processes instead of sleeping.
template <typename Predicate>
bool eventually(Predicate&& predicate,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace testsupport
