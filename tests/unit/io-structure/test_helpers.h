#pragma once

#include <fmt/ranges.h>

#include <map>
#include <set>
#include <string>

#include "talvoro/io_structure.h"

namespace talvoro::test {

inline IoStructure parseDocument(const nlohmann::json& document,
                                 bool strict = false) {
  TemplateCacheCleanupGuard guard;
  return parseIoStructure<IoInfo>(document, guard, strict);
}

// Every field of every element, in key order, for comparing two results.
inline std::string describe(const IoStructure& structure) {
  std::map<std::string, const IoInfo*> sorted;
  for (const auto& [key, info] : structure) sorted.emplace(key, info.get());
  std::string text;
  for (const auto& [key, info] : sorted) {
    const std::map<std::string, std::string> topics(info->topicKeys.begin(),
                                                    info->topicKeys.end());
    const auto unordered = info->getCells();
    const std::set<std::string> cells(unordered.begin(), unordered.end());
    text += fmt::format("{}: {}|{}|{}|{}|{}|{}\n", key, info->deviceName,
                        info->virtualDeviceName, info->port, info->templateName,
                        fmt::join(cells, ","), topics.size());
    for (const auto& [topic, cell] : topics) text += fmt::format("  {} {}\n", topic, cell);
  }
  return text;
}

// The message of the IoStructureError that `parse` raises, or "" if none.
template <typename Parse>
std::string errorFrom(Parse&& parse) {
  try {
    parse();
  } catch (const IoStructureError& error) {
    return error.what();
  }
  return "";
}

inline std::string errorOfDocument(const nlohmann::json& document,
                                   bool strict = false) {
  return errorFrom([&] { parseDocument(document, strict); });
}

inline IoStructure parseText(const std::string& text, bool strict = false) {
  TemplateCacheCleanupGuard guard;
  return parseIoStructureText<IoInfo>(text, guard, strict);
}

// The text parsed in all three ways, from a document copied or consumed and
// while it is read, which must agree.
inline IoStructure parse(const std::string& text, bool strict = false) {
  IoStructure copied = parseDocument(nlohmann::json::parse(text), strict);
  TemplateCacheCleanupGuard guard;
  const IoStructure consumed =
      parseIoStructure<IoInfo>(nlohmann::json::parse(text), guard, strict);
  EXPECT_EQ(describe(consumed), describe(copied)) << text;
  EXPECT_EQ(describe(parseText(text, strict)), describe(copied)) << text;
  return copied;
}

inline std::string errorOf(const std::string& text, bool strict = false) {
  const std::string copied = errorOfDocument(nlohmann::json::parse(text), strict);
  const std::string consumed = errorFrom([&] {
    TemplateCacheCleanupGuard guard;
    parseIoStructure<IoInfo>(nlohmann::json::parse(text), guard, strict);
  });
  EXPECT_EQ(consumed, copied) << text;
  EXPECT_EQ(errorFrom([&] { parseText(text, strict); }), copied) << text;
  return copied;
}

}  // namespace talvoro::test
