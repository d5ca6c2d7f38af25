#include "timestamp_line.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace talvoro::push {
namespace {

// The service looks this far, and no further into longer lines.
constexpr std::size_t kLinesSearched = 10;
constexpr std::size_t kMaxLineLength = 1024;
constexpr std::size_t kMinDigits = 10;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Span {
  std::size_t offset;
  std::size_t length;
};

// Where the digits of a timestamp line stand within `line`; nothing when it
// is none, or when the number does not fit the service's 64-bit integer.
std::optional<Span> timestampDigits(std::string_view line) {
  std::size_t at = 0;
  while (at < line.size() && isBlank(line[at])) {
    ++at;
  }
  if (line.substr(at, 2) != "//") {
    return std::nullopt;
  }
  at += 2;
  while (at < line.size() && isBlank(line[at])) {
    ++at;
  }
  const std::size_t digits = at;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
    ++at;
  }
  const Span span{digits, at - digits};
  while (at < line.size() && isBlank(line[at])) {
    ++at;
  }
  if (span.length < kMinDigits || at != line.size()) {
    return std::nullopt;
  }
  errno = 0;
  std::strtoll(std::string(line.substr(span.offset, span.length)).c_str(), nullptr, 10);
  if (errno == ERANGE) {
    return std::nullopt;
  }
  return span;
}

}  // namespace

std::string restamped(const std::string& text, long long seconds) {
  std::size_t lineStart = 0;
  for (std::size_t line = 0; line < kLinesSearched && lineStart < text.size(); ++line) {
    const std::size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
    const std::string_view content(text.data() + lineStart, lineEnd - lineStart);
    if (content.size() <= kMaxLineLength) {
      if (const auto span = timestampDigits(content)) {
        std::string result = text;
        result.replace(lineStart + span->offset, span->length, std::to_string(seconds));
        return result;
      }
    }
    lineStart = lineEnd + 1;
  }
  return text;
}

}  // namespace talvoro::push
