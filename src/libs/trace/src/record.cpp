#include "p7/detail/record.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "talvoro/files/utf8_cut.h"

namespace P7::detail {
namespace {

std::string_view withoutTrailingLineFeed(std::string_view message) {
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  return message;
}

std::string formatTimestamp(TimePoint when) {
  const LocalTime local = toLocalTime(when);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local.calendar);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%s.%06ld", date, local.microseconds);
  return stamp;
}

}  // namespace

LocalTime toLocalTime(TimePoint when) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(when);
  LocalTime local;
  local.microseconds =
      static_cast<long>(duration_cast<microseconds>(when - seconds).count());
  const std::time_t time = system_clock::to_time_t(seconds);
  localtime_r(&time, &local.calendar);
  return local;
}

const char* levelName(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warning: return "WARNING";
    case Level::Error: return "ERROR";
    case Level::Critical: return "CRITICAL";
  }
  return "UNKNOWN";
}

std::optional<std::string> formatMessage(const char* format, va_list args,
                                         std::size_t maxLength) {
  if (format == nullptr) return std::string();
  va_list measuring;
  va_copy(measuring, args);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length < 0) return std::nullopt;
  try {
    std::string message(std::min(static_cast<std::size_t>(length), maxLength), '\0');
    // vsnprintf writes the terminating NUL into the string's own spare byte.
    std::vsnprintf(message.data(), message.size() + 1, format, args);
    return message;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::string formatRecord(TimePoint when, Level level, const char* file,
                         unsigned line, const char* function,
                         std::string_view message) {
  char head[128];
  std::snprintf(head, sizeof head, "%s %-7s ", formatTimestamp(when).c_str(),
                levelName(level));
  const std::string_view text = withoutTrailingLineFeed(message);
  std::string record;
  record.reserve(text.size() + 256);
  record += head;
  record += file != nullptr ? file : "?";
  record += ':';
  record += std::to_string(line);
  record += ' ';
  record += function != nullptr ? function : "?";
  record += "(): ";
  record += text;
  record += '\n';
  return record;
}

std::string fitRecord(std::string_view record, std::uint64_t limit) {
  if (record.size() <= limit) return std::string(record);
  std::size_t keep =
      limit > kTruncatedMarker.size() ? limit - kTruncatedMarker.size() : 0;
  std::string fitted(record.substr(0, talvoro::files::utf8CutLength(record, keep)));
  fitted += kTruncatedMarker;
  return fitted;
}

}  // namespace P7::detail
