#include "talvoro/io_structure.h"

#include <type_traits>

#include "document_schema.h"

namespace talvoro {

namespace {

using schema::failUnknownMember;
using schema::Path;
using schema::publishTemplates;
using schema::readTemplate;
using schema::requireObject;
using schema::TemplateEntries;

void checkTopLevelMembers(const nlohmann::json& document, const Path& root) {
  for (const auto& item : document.items()) {
    if (item.key() != "templates" && item.key() != "elements") {
      failUnknownMember(root, schema::kTopLevelMembers, item.key());
    }
  }
}

// Every template is resolved, used or not, so that a broken one is reported.
// Elements look templates up in the returned entries rather than in the cache,
// which may still hold entries of another document.
TemplateEntries resolveTemplates(const nlohmann::json& document,
                                 const Path& root, bool strict) {
  TemplateEntries entries;
  const auto found = document.find("templates");
  if (found == document.end()) {
    return entries;
  }
  const Path path = root.member("templates");
  requireObject(*found, path);
  entries.reserve(found->size());
  for (const auto& item : found->items()) {
    entries.emplace(item.key(), readTemplate(item.key(), item.value(),
                                             path.member(item.key()), strict));
  }
  publishTemplates(entries);
  return entries;
}

template <typename T>
std::unique_ptr<T> readElement(const nlohmann::json& element, const Path& path,
                               const TemplateEntries& templates, bool strict) {
  auto info = std::make_unique<T>();
  if (schema::readElementMembers(*info, element, path, strict)) {
    schema::attachTemplate(*info, templates, path);
  }
  schema::buildTopicKeys(*info);
  return info;
}

}  // namespace

std::unordered_set<std::string> IoInfo::getCells() const {
  std::unordered_set<std::string> cells(ownCells.begin(), ownCells.end());
  if (cellTemplate) {
    cells.insert(cellTemplate->cells.begin(), cellTemplate->cells.end());
  }
  return cells;
}

namespace {

template <typename T>
using ElementMap = std::unordered_map<std::string, std::unique_ptr<T>>;

// Checks everything but the elements and resolves the templates.
TemplateEntries readDocumentHead(const nlohmann::json& structure,
                                 const Path& root, bool strict) {
  requireObject(structure, root);
  if (strict) {
    checkTopLevelMembers(structure, root);
  }
  return resolveTemplates(structure, root, strict);
}

// Reads a const document as it is. A mutable one is consumed: its elements
// are taken out one by one, in the same order, and each one's part of the
// document is freed as soon as the element is built; the key moves into the
// map.
template <typename T, typename Json>
ElementMap<T> readStructure(Json& structure, bool strict) {
  static_assert(std::is_base_of_v<IoInfo, T>, "T must derive from IoInfo");
  const Path root;
  const TemplateEntries templates = readDocumentHead(structure, root, strict);
  ElementMap<T> result;
  const auto found = structure.find("elements");
  if (found == structure.end()) {
    return result;
  }
  const Path path = root.member("elements");
  requireObject(*found, path);
  using Object = std::conditional_t<std::is_const_v<Json>,
                                    const nlohmann::json::object_t,
                                    nlohmann::json::object_t>;
  Object& members = found->template get_ref<Object&>();
  result.reserve(members.size());
  if constexpr (std::is_const_v<Json>) {
    for (const auto& [key, value] : members) {
      result.try_emplace(key, readElement<T>(value, path.member(key),
                                             templates, strict));
    }
  } else {
    while (!members.empty()) {
      auto member = members.extract(members.begin());
      auto element = readElement<T>(member.mapped(), path.member(member.key()),
                                    templates, strict);
      result.try_emplace(std::move(member.key()), std::move(element));
    }
  }
  return result;
}

}  // namespace

// The guard is the caller's promise that the cache filled here is emptied
// once the caller is done with it; parsing itself does not touch the guard.
template <typename T>
ElementMap<T> parseIoStructure(const nlohmann::json& structure,
                               TemplateCacheCleanupGuard& /*guard*/,
                               bool strict) {
  return readStructure<T>(structure, strict);
}

template <typename T>
ElementMap<T> parseIoStructure(nlohmann::json&& structure,
                               TemplateCacheCleanupGuard& /*guard*/,
                               bool strict) {
  return readStructure<T>(structure, strict);
}

template IoStructure parseIoStructure<IoInfo>(
    const nlohmann::json& structure, TemplateCacheCleanupGuard& guard,
    bool strict);
template IoStructure parseIoStructure<IoInfo>(
    nlohmann::json&& structure, TemplateCacheCleanupGuard& guard, bool strict);

}  // namespace talvoro
