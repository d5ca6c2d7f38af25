#include "p7/detail/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <sstream>
#include <string_view>

namespace P7::detail {
namespace {

constexpr std::uint64_t kMaxMegabytes = 1024 * 1024;  // 1 TB
constexpr std::uint64_t kMaxRollHours = 24 * 366 * 10;
constexpr std::uint64_t kMaxFiles = 100000;
constexpr int kMaxVerbosity = 5;

// A whole decimal number in [1, max]; anything else is malformed.
std::optional<std::uint64_t> parseNumber(std::string_view text,
                                         std::uint64_t max) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value == 0 ||
      value > max) {
    return std::nullopt;
  }
  return value;
}

std::string lowercase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return result;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.substr(text.size() - suffix.size()) == suffix;
}

void applySink(Options& options, std::string_view value) {
  const std::string name = lowercase(value);
  if (name == "filetxt") {
    options.sink = SinkKind::FileTxt;
  } else if (name == "console") {
    options.sink = SinkKind::Console;
  } else if (name == "null") {
    options.sink = SinkKind::Null;
  }
}

void applyRoll(Options& options, std::string_view value) {
  const std::string roll = lowercase(value);
  const std::string_view number(roll.data(), roll.size() - std::min<std::size_t>(2, roll.size()));
  if (endsWith(roll, "hr")) {
    if (auto hours = parseNumber(number, kMaxRollHours)) {
      options.rollPeriod = std::chrono::hours(*hours);
    }
  } else if (endsWith(roll, "mb")) {
    if (auto megabytes = parseNumber(number, kMaxMegabytes)) {
      options.rollBytes = *megabytes * kMegabyte;
    }
  }
}

void applyVerbosity(Options& options, std::string_view value) {
  if (value == "0") {
    options.verbosity = 0;
  } else if (auto level = parseNumber(value, kMaxVerbosity)) {
    options.verbosity = static_cast<int>(*level);
  }
}

void applyItem(Options& options, std::string_view key, std::string_view value) {
  if (key == "Sink") {
    applySink(options, value);
  } else if (key == "Dir") {
    if (!value.empty()) options.dir = std::string(value);
  } else if (key == "Trc.Verb") {
    applyVerbosity(options, value);
  } else if (key == "Roll") {
    applyRoll(options, value);
  } else if (key == "Files") {
    if (auto files = parseNumber(value, kMaxFiles)) options.maxFiles = *files;
  } else if (key == "FSize") {
    if (auto megabytes = parseNumber(value, kMaxMegabytes)) {
      options.maxTotalBytes = *megabytes * kMegabyte;
    }
  }
}

}  // namespace

Options parseOptions(const std::string& text) {
  constexpr std::string_view kPrefix = "/P7.";
  Options options;
  std::istringstream items(text);
  std::string item;
  while (items >> item) {
    const std::string_view view(item);
    const auto equals = view.find('=');
    if (view.substr(0, kPrefix.size()) != kPrefix ||
        equals == std::string_view::npos) {
      continue;
    }
    applyItem(options, view.substr(kPrefix.size(), equals - kPrefix.size()),
              view.substr(equals + 1));
  }
  return options;
}

}  // namespace P7::detail
