#pragma once
// Settings read from the LoggerInit options string.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace P7::detail {

constexpr std::uint64_t kMegabyte = 1024 * 1024;

enum class SinkKind { Console, FileTxt, Null };

struct Options {
  SinkKind sink = SinkKind::Console;
  std::string dir = ".";
  int verbosity = 0;
  std::chrono::hours rollPeriod{0};  // zero: no time-based rolling
  std::uint64_t rollBytes = 0;       // zero: no size-based rolling asked for
  // Bounded even when the options say nothing, so that a forgotten or
  // mistyped limit cannot let the logs fill the disk.
  std::size_t maxFiles = 10;
  std::uint64_t maxTotalBytes = 100 * kMegabyte;
};

// Reads space-separated "/P7.Key=Value" items. Unknown keys are ignored and a
// malformed value leaves its setting at the default; never throws on input.
Options parseOptions(const std::string& text);

}  // namespace P7::detail
