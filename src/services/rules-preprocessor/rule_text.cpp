#include "rule_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cctype>
#include <iterator>
#include <string_view>

#include "service_trace.h"

namespace talvoro {
namespace {

// Timestamp lines are short; a longer line is none, however it reads, and is
// not looked at further.
constexpr std::size_t kMaxTimestampLineLength = 1024;
constexpr std::size_t kTimestampLinesSearched = 10;
constexpr std::size_t kMinTimestampDigits = 10;

// Resolves one placeholder match against the IO structure.
struct PlaceholderResolver {
  const IoStructure& structure;
  P7::TraceChannel& trace;

  std::string operator()(const boost::smatch& match) const {
    const std::string kind = match[1].str();
    const std::string key = match[2].str();
    const auto found = structure.find(key);
    if (found == structure.end()) {
      throw UnresolvedPlaceholder(key);
    }
    const IoInfo& element = *found->second;
    if (kind == "DEVICE") {
      return element.deviceName;
    }
    if (kind == "VIRTUAL_DEVICE") {
      return element.virtualDeviceName;
    }
    if (kind == "PORT") {
      return fmt::format("{}", element.port);
    }
    const auto cells = element.getCells();
    if (cells.empty()) {
      TRACE_AS(__func__, trace, Error, "Ячеек для %s нет вообще. Что делать?", key.c_str());
      throw UnresolvedPlaceholder(key);
    }
    if (cells.size() > 1) {
      TRACE_AS(__func__, trace, Warning,
               "Количество ячеек для %s больше одной. Наугад выберу первую.", key.c_str());
    }
    return *cells.begin();
  }
};

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// The digits of a timestamp line: blanks, "//", blanks, ten or more digits,
// blanks; nothing for any other line.
std::string_view timestampDigits(std::string_view line) {
  line = trimBlanks(line);
  if (line.substr(0, 2) != "//") {
    return {};
  }
  const std::string_view digits = trimBlanks(line.substr(2));
  const bool allDigits = std::all_of(digits.begin(), digits.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
  return allDigits && digits.size() >= kMinTimestampDigits ? digits : std::string_view{};
}

}  // namespace

std::string translate(std::string text, const IoStructure& structure) {
  P7::TraceChannel& trace = *P7::getTrace();
  static const boost::regex placeholder(
      R"(((?:DEVICE)|(?:CELL)|(?:VIRTUAL_DEVICE)|(?:PORT))_NAME\(([\d\w]+)\))");
  std::string translated;
  // Most texts keep their length: one allocation, never a doubling copy.
  translated.reserve(text.size());
  boost::regex_replace(std::back_inserter(translated), text.cbegin(), text.cend(), placeholder,
                       PlaceholderResolver{structure, trace});
  return translated;
}

long long extractEpochTsOrZero(const std::string& text) {
  const std::string_view all = text;
  std::size_t lineStart = 0;
  for (std::size_t read = 0; read < kTimestampLinesSearched && lineStart < all.size(); ++read) {
    const std::size_t lineEnd = std::min(all.find('\n', lineStart), all.size());
    const std::string_view line = all.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (line.size() > kMaxTimestampLineLength) {
      continue;
    }
    const std::string_view digits = timestampDigits(line);
    if (digits.empty()) {
      continue;
    }
    try {
      return std::stoll(std::string(digits));
    } catch (const std::out_of_range&) {
      // Too large for a timestamp: a later line may still carry one.
    }
  }
  return 0;
}

}  // namespace talvoro
