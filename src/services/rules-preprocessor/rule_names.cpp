#include "rule_names.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace talvoro {
namespace {

const std::string kInstalledFileSeparator = "-__";
const std::string kInstalledFileSuffix = "__.js";
const std::string kAsideFileSuffix = ".old";

// The hash digits of `entry` when it is "<prefix><digits>__.js", the
// installed file name of the rule whose name and separator form `prefix`
// (compared as plain text), else empty.
std::string hashOfInstalledFile(const std::string& entry, const std::string& prefix) {
  const std::size_t fixedLength = prefix.size() + kInstalledFileSuffix.size();
  if (entry.size() <= fixedLength ||
      entry.compare(0, prefix.size(), prefix) != 0 ||
      entry.compare(entry.size() - kInstalledFileSuffix.size(), kInstalledFileSuffix.size(),
                    kInstalledFileSuffix) != 0) {
    return {};
  }
  std::string digits = entry.substr(prefix.size(), entry.size() - fixedLength);
  const bool allDigits = digits.find_first_not_of("0123456789") == std::string::npos;
  return allDigits ? digits : std::string{};
}

}  // namespace

std::string installedFileName(const std::string& rule, const std::string& hash) {
  return fmt::format("{}{}{}{}", rule, kInstalledFileSeparator, hash, kInstalledFileSuffix);
}

// The digits end where "-__" begins, so the split is unique.
std::optional<InstalledName> parseInstalledFileName(const std::string& fileName) {
  const std::size_t separator = fileName.rfind(kInstalledFileSeparator);
  if (separator == std::string::npos) {
    return std::nullopt;
  }
  std::string rule = fileName.substr(0, separator);
  std::string hash = hashOfInstalledFile(fileName, rule + kInstalledFileSeparator);
  if (hash.empty()) {
    return std::nullopt;
  }
  return InstalledName{std::move(rule), std::move(hash)};
}

std::string asideFileName(const std::string& installedName) {
  return "." +
         installedName.substr(0, installedName.size() - kInstalledFileSuffix.size()) +
         kAsideFileSuffix;
}

std::string installedNameOfAside(const std::string& entry) {
  if (entry.size() <= 1 + kAsideFileSuffix.size() || entry.front() != '.' ||
      entry.compare(entry.size() - kAsideFileSuffix.size(), kAsideFileSuffix.size(),
                    kAsideFileSuffix) != 0) {
    return {};
  }
  std::string original =
      entry.substr(1, entry.size() - 1 - kAsideFileSuffix.size()) + kInstalledFileSuffix;
  return parseInstalledFileName(original) ? original : std::string{};
}

bool isPendingFileName(const std::string& entry) {
  constexpr std::size_t kRandomPart = 6;
  return entry.size() == kPendingFilePrefix.size() + kRandomPart &&
         entry.compare(0, kPendingFilePrefix.size(), kPendingFilePrefix) == 0 &&
         std::all_of(entry.begin() + kPendingFilePrefix.size(), entry.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

}  // namespace talvoro
