#pragma once
// Turning one trace call into the text line written to the log.

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "p7/trace.h"

namespace P7::detail {

using TimePoint = std::chrono::system_clock::time_point;

struct LocalTime {
  std::tm calendar{};
  long microseconds = 0;
};

LocalTime toLocalTime(TimePoint when);

// "TRACE" ... "CRITICAL"; "UNKNOWN" for a value outside the enumeration.
const char* levelName(Level level);

// printf-style formatting into a buffer as large as the result needs, but
// only the first `maxLength` bytes of a longer result are kept. Empty when
// the format is invalid or memory runs out.
std::optional<std::string> formatMessage(const char* format, va_list args,
                                         std::size_t maxLength = SIZE_MAX);

// "2026-12-07 05:30:01.123456 INFO    file.cpp:42 main(): message\n".
// One trailing line feed of the message is dropped; others are kept.
std::string formatRecord(TimePoint when, Level level, const char* file,
                         unsigned line, const char* function,
                         std::string_view message);

// Cuts a record longer than `limit` bytes to fit, ending it with a visible
// marker and a line feed; never splits a UTF-8 character.
std::string fitRecord(std::string_view record, std::uint64_t limit);

inline constexpr std::string_view kTruncatedMarker = " [truncated]\n";

}  // namespace P7::detail
