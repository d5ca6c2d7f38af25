#pragma once
// The schema of the IO structure document, checked one part at a time: the
// parts that both the parsed-document and the streaming readers build from.

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>

#include "talvoro/io_structure.h"

namespace talvoro::schema {

using TemplateEntries =
    std::unordered_map<std::string, std::shared_ptr<const TemplateCacheEntry>>;

// Where a value sits in the document. Built on the stack while descending and
// turned into text only when an error is reported, so that a well-formed
// document costs no path strings.
class Path {
 public:
  Path() = default;

  Path member(std::string_view key) const { return Path(this, key, false, 0); }
  Path index(std::size_t position) const { return Path(this, {}, true, position); }

  std::string str() const;

 private:
  Path(const Path* parent, std::string_view key, bool isIndex, std::size_t index)
      : parent_(parent), key_(key), isIndex_(isIndex), index_(index) {}

  const Path* parent_ = nullptr;
  std::string_view key_;
  bool isIndex_ = false;
  std::size_t index_ = 0;
};

inline constexpr const char* kTopLevelMembers = "templates, elements";

// Each throws IoStructureError naming the path and showing the value.
[[noreturn]] void fail(const Path& path, std::string_view expected, const nlohmann::json& got);
[[noreturn]] void failUnknownMember(const Path& object, std::string_view known,
                                    const std::string& member);
void requireObject(const nlohmann::json& value, const Path& path);

// One template, checked; `path` is where it is.
std::shared_ptr<const TemplateCacheEntry> readTemplate(const std::string& name,
                                                       const nlohmann::json& value,
                                                       const Path& path, bool strict);

// Places the entries in the process-wide cache. An entry already cached under
// the same name with the same cells is kept and shared; a different one (left
// by an earlier document) is replaced by this document's definition.
void publishTemplates(TemplateEntries& entries);

// Reads the members of one element into `info`, in the order of their names.
// True when it names a template, which attachTemplate then resolves.
bool readElementMembers(IoInfo& info, const nlohmann::json& element, const Path& path,
                        bool strict);

// Resolves the template that `info` names among `templates`.
void attachTemplate(IoInfo& info, const TemplateEntries& templates, const Path& element);

// The topic of each cell, own and the template's.
void buildTopicKeys(IoInfo& info);

}  // namespace talvoro::schema
