#include "talvoro/timestamp_line.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace talvoro::protocol {
namespace {

// Timestamp lines are short; a longer line is none, however it reads, and is
// not looked at further.
constexpr std::size_t kMaxLineLength = 1024;
constexpr std::size_t kLinesSearched = 10;
constexpr std::size_t kMinDigits = 10;

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip(std::string_view line, std::size_t at, bool (*what)(char)) {
  while (at < line.size() && what(line[at])) {
    ++at;
  }
  return at;
}

// The timestamp of one line, its digits' place relative to the line.
std::optional<TimestampLine> readLine(std::string_view line) {
  std::size_t at = skip(line, 0, isBlank);
  if (line.substr(at, 2) != "//") {
    return std::nullopt;
  }
  const std::size_t digits = skip(line, at + 2, isBlank);
  const std::size_t digitsEnd = skip(line, digits, isDigit);
  if (digitsEnd - digits < kMinDigits || skip(line, digitsEnd, isBlank) != line.size()) {
    return std::nullopt;
  }
  errno = 0;
  const long long seconds =
      std::strtoll(std::string(line.substr(digits, digitsEnd - digits)).c_str(), nullptr, 10);
  if (errno == ERANGE) {
    return std::nullopt;
  }
  return TimestampLine{digits, digitsEnd - digits, seconds};
}

}  // namespace

std::optional<TimestampLine> findTimestampLine(std::string_view text) {
  std::size_t lineStart = 0;
  for (std::size_t read = 0; read < kLinesSearched && lineStart < text.size(); ++read) {
    const std::size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
    const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
    if (line.size() <= kMaxLineLength) {
      if (auto found = readLine(line)) {
        found->offset += lineStart;
        return found;
      }
    }
    lineStart = lineEnd + 1;
  }
  return std::nullopt;
}

std::string restamped(std::string_view text, long long seconds) {
  std::string result(text);
  if (const auto line = findTimestampLine(text)) {
    result.replace(line->offset, line->length, std::to_string(seconds));
  }
  return result;
}

}  // namespace talvoro::protocol
