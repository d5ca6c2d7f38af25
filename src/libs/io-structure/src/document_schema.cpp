#include "document_schema.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "talvoro/files/utf8_cut.h"

namespace talvoro::schema {
namespace {

// Longer values are cut in error messages: the offending value may be a whole
// "elements" object of a large document.
constexpr std::size_t kMaxShownValue = 200;
constexpr std::size_t kMaxShownDepth = 4;

// Compact JSON text of a string, invalid UTF-8 shown as U+FFFD; replacing
// keeps dump() from throwing its own error in place of the one reported.
std::string quoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false,
                                   nlohmann::json::error_handler_t::replace);
}

void appendScalar(std::string& out, const nlohmann::json& value) {
  if (value.is_string()) {
    // Only the start of a long string can be shown anyway.
    const std::string& text = value.get_ref<const std::string&>();
    out += quoted(text.size() > kMaxShownValue ? text.substr(0, kMaxShownValue)
                                               : text);
  } else {
    out += value.dump();
  }
}

void appendOpening(std::string& out, const nlohmann::json& container,
                   std::size_t depth) {
  const bool object = container.is_object();
  if (container.empty()) {
    out += object ? "{}" : "[]";
  } else if (depth >= kMaxShownDepth) {
    out += object ? "{...}" : "[...]";
  } else {
    out += object ? '{' : '[';
  }
}

// An excerpt of the value: compact JSON, at most kMaxShownValue bytes and
// kMaxShownDepth levels. Walks the value with a stack of its own rather than
// dump(), whose recursion follows the document's nesting, however deep.
std::string showValue(const nlohmann::json& value) {
  struct Level {
    const nlohmann::json* container;
    nlohmann::json::const_iterator next;
  };
  std::vector<Level> levels;
  std::string out;
  const nlohmann::json* current = &value;
  while (out.size() <= kMaxShownValue) {
    if (current != nullptr) {
      if (!current->is_structured()) {
        appendScalar(out, *current);
      } else {
        appendOpening(out, *current, levels.size());
        if (!current->empty() && levels.size() < kMaxShownDepth) {
          levels.push_back({current, current->cbegin()});
        }
      }
      current = nullptr;
    }
    if (levels.empty()) {
      break;
    }
    Level& level = levels.back();
    const bool object = level.container->is_object();
    if (level.next == level.container->cend()) {
      out += object ? '}' : ']';
      levels.pop_back();
      continue;
    }
    if (level.next != level.container->cbegin()) {
      out += ',';
    }
    if (object) {
      out += quoted(level.next.key());
      out += ':';
    }
    current = &*level.next;
    ++level.next;
  }
  if (out.size() > kMaxShownValue) {
    out.resize(files::utf8CutLength(out, kMaxShownValue));
    out += "...";
  }
  return out;
}

}  // namespace

std::string Path::str() const {
  if (parent_ == nullptr) {
    return "(document)";
  }
  if (isIndex_) {
    return fmt::format("{}[{}]", parent_->str(), index_);
  }
  if (parent_->parent_ == nullptr) {
    return std::string(key_);
  }
  return fmt::format("{}.{}", parent_->str(), key_);
}

[[noreturn]] void fail(const Path& path, std::string_view expected,
                       const nlohmann::json& got) {
  throw IoStructureError(fmt::format("{}: expected {}, got {}", path.str(),
                                     expected, showValue(got)));
}

[[noreturn]] void failUnknownMember(const Path& object, std::string_view known,
                                    const std::string& member) {
  fail(object, fmt::format("only the members {}", known),
       nlohmann::json(member));
}

void requireObject(const nlohmann::json& value, const Path& path) {
  if (!value.is_object()) {
    fail(path, "an object", value);
  }
}

namespace {

const std::string& requireString(const nlohmann::json& value,
                                 const Path& path) {
  if (!value.is_string()) {
    fail(path, "a string", value);
  }
  return value.get_ref<const std::string&>();
}

// Only integer JSON numbers qualify: 3.0 is a float in the document and is
// rejected like 3.5.
std::int32_t requirePort(const nlohmann::json& value, const Path& path) {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  bool fits = false;
  if (value.is_number_unsigned()) {
    fits = value.get<std::uint64_t>() <= static_cast<std::uint64_t>(kMax);
  } else if (value.is_number_integer()) {
    const auto number = value.get<std::int64_t>();
    fits = number >= kMin && number <= kMax;
  }
  if (!fits) {
    fail(path, "an integer in the signed 32-bit range", value);
  }
  return static_cast<std::int32_t>(value.get<std::int64_t>());
}

std::vector<std::string> readCells(const nlohmann::json& value,
                                   const Path& path) {
  if (!value.is_array()) {
    fail(path, "an array of strings", value);
  }
  std::vector<std::string> cells;
  cells.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    cells.push_back(requireString(value[i], path.index(i)));
  }
  return cells;
}

// Returns the "template" member when this was it.
const nlohmann::json* readElementMember(IoInfo& info, const std::string& key,
                                        const nlohmann::json& value,
                                        const Path& element, bool strict) {
  if (key == "device") {
    info.deviceName = requireString(value, element.member(key));
    info.givenMembers |= IoInfo::kGivenDevice;
  } else if (key == "virtualDevice") {
    info.virtualDeviceName = requireString(value, element.member(key));
    info.givenMembers |= IoInfo::kGivenVirtualDevice;
  } else if (key == "port") {
    info.port = requirePort(value, element.member(key));
    info.givenMembers |= IoInfo::kGivenPort;
  } else if (key == "cells") {
    info.ownCells = readCells(value, element.member(key));
  } else if (key == "template") {
    info.templateName = requireString(value, element.member(key));
    return &value;
  } else if (strict) {
    failUnknownMember(element, "device, virtualDevice, port, cells, template",
                      key);
  } else if (std::find(info.unknownMembers.begin(), info.unknownMembers.end(), key) ==
             info.unknownMembers.end()) {
    info.unknownMembers.push_back(key);
  }
  return nullptr;
}

void addTopics(IoInfo& info, const std::vector<std::string>& cells) {
  const std::string prefix = "/devices/" + info.deviceName + "/controls/";
  for (const auto& cell : cells) {
    info.topicKeys.try_emplace(prefix + cell, cell);
  }
}

}  // namespace

std::shared_ptr<const TemplateCacheEntry> readTemplate(
    const std::string& name, const nlohmann::json& value, const Path& path,
    bool strict) {
  requireObject(value, path);
  auto entry = std::make_shared<TemplateCacheEntry>();
  entry->name = name;
  for (const auto& item : value.items()) {
    if (item.key() == "cells") {
      entry->cells = readCells(item.value(), path.member(item.key()));
    } else if (strict) {
      failUnknownMember(path, "cells", item.key());
    }
  }
  return entry;
}

// Places the entries in the process-wide cache. An entry already cached under
// the same name with the same cells is kept and shared; a different one (left
// by an earlier document) is replaced by this document's definition.
void publishTemplates(TemplateEntries& entries) {
  std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
  auto& cache = detail::templateCacheStorage();
  for (auto& [name, entry] : entries) {
    auto& cached = cache[name];
    if (cached && cached->cells == entry->cells) {
      entry = cached;
    } else {
      cached = entry;
    }
  }
}

bool readElementMembers(IoInfo& info, const nlohmann::json& element, const Path& path,
                        bool strict) {
  requireObject(element, path);
  bool namesTemplate = false;
  for (const auto& item : element.items()) {
    namesTemplate |= readElementMember(info, item.key(), item.value(), path, strict) != nullptr;
  }
  return namesTemplate;
}

void attachTemplate(IoInfo& info, const TemplateEntries& templates, const Path& element) {
  const auto found = templates.find(info.templateName);
  if (found == templates.end()) {
    fail(element.member("template"), "the name of a template", nlohmann::json(info.templateName));
  }
  info.cellTemplate = found->second;
}

void buildTopicKeys(IoInfo& info) {
  const std::size_t templateCells =
      info.cellTemplate ? info.cellTemplate->cells.size() : 0;
  info.topicKeys.reserve(info.ownCells.size() + templateCells);
  addTopics(info, info.ownCells);
  if (info.cellTemplate) {
    addTopics(info, info.cellTemplate->cells);
  }
}

}  // namespace talvoro::schema
