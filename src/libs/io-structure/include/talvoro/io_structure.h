#pragma once
// IO structure library: turns the controller's IO structure document (JSON)
// into a map of elements, keyed by the element key that rule placeholders
// name. The document schema is described in src/libs/io-structure/README.md.
//
// Templates named by elements are resolved once per parse into shared,
// immutable TemplateCacheEntry objects held in a process-wide cache; the
// TemplateCacheCleanupGuard passed to parseIoStructure empties that cache when
// it goes out of scope, while elements keep the entries they share.

#include <fmt/format.h>
#include <malloc.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace talvoro {

// A document that violates the schema; what() names the place in the
// document and what was expected there.
class IoStructureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A template resolved during a parse: its name and its cells.
struct TemplateCacheEntry {
  std::string name;
  std::vector<std::string> cells;
};

class DeviceInfo {
 public:
  std::string virtualDeviceName;
  std::int32_t port = 0;
  std::string deviceName;
};

// One element of the IO structure. Owned and destroyed as IoInfo (there is no
// virtual destructor); the virtual hooks are for value processing.
class IoInfo : public DeviceInfo {
 public:
  // Applied to every value that processValue stores.
  virtual double postprocessingValue(const std::string& key,
                                     const std::string& topic,
                                     double value) const {
    (void)key;
    (void)topic;
    return value;
  }

  // Appends max, avg and min (each through postprocessingValue) to the arrays
  // out[key]["max"], ["avg"] and ["min"], key being what topicKeys maps
  // `topic` to. Throws std::runtime_error, leaving `out` unchanged, when the
  // topic is not one of the element's.
  virtual void processValue(nlohmann::json& out, const std::string& topic,
                            double avg, double max, double min) const {
    const auto found = topicKeys.find(topic);
    if (found == topicKeys.end()) {
      throw std::runtime_error(
          fmt::format("Key by topic \"{}\" not found!", topic));
    }
    const std::string key = found->second;
    out[key]["max"].push_back(postprocessingValue(key, topic, max));
    out[key]["avg"].push_back(postprocessingValue(key, topic, avg));
    out[key]["min"].push_back(postprocessingValue(key, topic, min));
  }

  virtual int getTargetSize(const std::string&, int) const { return 1; }

  // Topic of each cell ("/devices/<device>/controls/<cell>") to the cell.
  std::unordered_map<std::string, std::string> topicKeys;

  // The element's own cells together with its template's.
  std::unordered_set<std::string> getCells() const;

  // Which of device, virtualDevice and port the element's object gave: a
  // default value is then told from a given one (bits of GivenMember).
  enum GivenMember : std::uint8_t { kGivenDevice = 1, kGivenVirtualDevice = 2, kGivenPort = 4 };
  std::uint8_t givenMembers = 0;
  // Members of the element's object that the schema does not know (kept
  // when they are not errors, so that their names can be reported).
  std::vector<std::string> unknownMembers;

  // Used by the library only.
  std::string templateName;
  std::vector<std::string> ownCells;
  std::shared_ptr<const TemplateCacheEntry> cellTemplate;
};

using IoStructure = std::unordered_map<std::string, std::unique_ptr<IoInfo>>;

namespace detail {

inline std::unordered_map<std::string, std::shared_ptr<const TemplateCacheEntry>>&
templateCacheStorage() {
  static std::unordered_map<std::string, std::shared_ptr<const TemplateCacheEntry>>
      cache;
  return cache;
}

inline std::mutex& templateCacheMutex() {
  static std::mutex cache_mutex;
  return cache_mutex;
}

}  // namespace detail

// Empties the template cache when it goes out of scope and, if trimMemory is
// set, hands free heap memory back to the system. Never throws: when the
// cache mutex cannot be locked it does nothing.
struct TemplateCacheCleanupGuard {
  bool trimMemory = false;

  ~TemplateCacheCleanupGuard() {
    try {
      std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
      detail::templateCacheStorage().clear();
    } catch (...) {
      return;
    }
    if (trimMemory) {
      malloc_trim(0);
    }
  }
};

// Builds the element map from `structure`. `strict`: members the schema does
// not know are errors when true and ignored when false. Throws
// IoStructureError on every violation of the schema.
template <typename T>
std::unordered_map<std::string, std::unique_ptr<T>> parseIoStructure(
    const nlohmann::json& structure, TemplateCacheCleanupGuard& guard,
    bool strict);

extern template IoStructure parseIoStructure<IoInfo>(
    const nlohmann::json& structure, TemplateCacheCleanupGuard& guard,
    bool strict);

// The same, consuming `structure`: each element's part of the document is
// released as soon as the element is built, so that a large document and its
// element map are never both held in full. `structure` is left in a valid
// but unspecified state, also when an error is thrown.
template <typename T>
std::unordered_map<std::string, std::unique_ptr<T>> parseIoStructure(
    nlohmann::json&& structure, TemplateCacheCleanupGuard& guard, bool strict);

extern template IoStructure parseIoStructure<IoInfo>(
    nlohmann::json&& structure, TemplateCacheCleanupGuard& guard, bool strict);

// The same from the JSON text, built while the text is read: no parsed
// document is ever held, only one element of it at a time. Results and
// errors are those of parseIoStructure(nlohmann::json::parse(text.begin(),
// text.end()), guard, strict): nlohmann::json's own exceptions for text that
// is not JSON (also when it breaks the schema before its syntax error),
// IoStructureError with the same message for the same first violation, and
// the template cache filled alike.
template <typename T>
std::unordered_map<std::string, std::unique_ptr<T>> parseIoStructureText(
    std::string_view text, TemplateCacheCleanupGuard& guard, bool strict);

extern template IoStructure parseIoStructureText<IoInfo>(
    std::string_view text, TemplateCacheCleanupGuard& guard, bool strict);

}  // namespace talvoro
