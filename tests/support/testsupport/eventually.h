#pragma once

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testsupport {

// `timeout` stretched by the factor in TEST_TIME_FACTOR (a whole number, 1
// when unset): the limits of the waits for other processes, for a machine
// many times slower than this one (an emulated one). The limits only end a
// hang; nothing is asserted about how long a wait takes.
inline std::chrono::milliseconds patience(std::chrono::milliseconds timeout) {
  const char* text = std::getenv("TEST_TIME_FACTOR");
  const long factor = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
  return factor > 1 ? timeout * factor : timeout;
}

// Polls `predicate` until it holds or `timeout` (stretched by patience())
// passes; the result of the last poll. Tests wait with it for effects in other
// processes instead of sleeping.
template <typename Predicate>
bool eventually(Predicate&& predicate,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + patience(timeout);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace testsupport
