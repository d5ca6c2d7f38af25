// Builds the IO structure while its text is read (nlohmann's SAX interface),
// without the parsed document: only one element or template at a time.
//
// The results and errors are those of parsing the whole document first and
// checking it then. So a schema violation is thrown only after the whole text
// proved to be JSON (a syntax error later in the text wins); a member given
// twice counts as given once, with its last value; and of several violations
// the one reported is the one the parsed document's order (member names
// sorted) meets first: the top level, then every template, then every
// element, each element's template resolved after its members.

#include <fmt/format.h>

#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "document_schema.h"
#include "talvoro/io_structure.h"

namespace talvoro {
namespace {

using nlohmann::json;
using schema::Path;

// One JSON value built from SAX events as json::parse builds it: a member
// given twice keeps its last value.
class ValueBuilder {
 public:
  bool done() const { return started_ && open_.empty(); }
  json take() { return std::move(root_); }

  void scalar(json&& value) { place(std::move(value)); }
  void open(json::value_t type) { open_.push_back(place(json(type))); }
  void key(std::string&& name) { key_ = std::move(name); }
  void close() { open_.pop_back(); }

 private:
  json* place(json&& value) {
    if (open_.empty()) {
      started_ = true;
      root_ = std::move(value);
      return &root_;
    }
    json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    json& slot = parent[key_];
    slot = std::move(value);
    return &slot;
  }

  json root_;
  std::vector<json*> open_;  // the containers not closed yet, innermost last
  std::string key_;
  bool started_ = false;
};

// The message of the IoStructureError that `check` throws, if any.
template <typename Check>
std::optional<std::string> violationOf(Check&& check) {
  try {
    check();
  } catch (const IoStructureError& error) {
    return error.what();
  }
  return std::nullopt;
}

enum class Section { Templates, Elements };

// The SAX handler. The document object and the "templates" and "elements"
// objects are followed event by event; each template, each element and any
// value that breaks the schema at those levels is built as a small document
// of its own and checked with the schema's functions when it is complete.
template <typename T>
class StructureReader {
 public:
  using ElementMap = std::unordered_map<std::string, std::unique_ptr<T>>;

  explicit StructureReader(bool strict) : strict_(strict) {}

  bool null() { return value(json(nullptr)); }
  bool boolean(bool flag) { return value(json(flag)); }
  bool number_integer(json::number_integer_t number) { return value(json(number)); }
  bool number_unsigned(json::number_unsigned_t number) { return value(json(number)); }
  bool number_float(json::number_float_t number, const json::string_t& /*text*/) {
    return value(json(number));
  }
  bool string(json::string_t& text) { return value(json(std::move(text))); }
  bool binary(json::binary_t& bytes) { return value(json::binary(bytes)); }
  bool start_object(std::size_t /*size*/) { return open(json::value_t::object); }
  bool start_array(std::size_t /*size*/) { return open(json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& name) {
    switch (mode_) {
      case Mode::Document: member_ = std::move(name); break;
      case Mode::InSection: sectionMember_ = std::move(name); break;
      case Mode::Building: builder_.key(std::move(name)); break;
      default: break;
    }
    return true;
  }

  // As json::parse does: the parser's own exception, of its own type.
  template <typename Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const Exception& error) {
    throw error;
  }

  // Once the whole text was read: the first violation, or the elements.
  ElementMap finish();

 private:
  enum class Mode { Start, Document, InSection, Building, Skipping, Done };
  // Where a value being built goes once complete.
  enum class Target { Document, Section, SectionMember };

  bool value(json&& scalar);
  bool open(json::value_t type);
  bool close();
  void build(Target target, json&& scalar);
  void startBuilding(Target target, json::value_t type);
  void deliver(Target target, json&& value);
  void startSection(Section section);
  void noteUnknownMember();
  void takeTemplate(const std::string& name, const json& value);
  void takeElement(const std::string& name, const json& value);
  void resolveElements();

  bool strict_;
  Mode mode_ = Mode::Start;
  Mode modeAfterBuilding_ = Mode::Done;
  Target target_ = Target::Document;
  ValueBuilder builder_;
  std::size_t skipDepth_ = 0;
  Section section_ = Section::Templates;
  std::string member_;         // the current member of the document
  std::string sectionMember_;  // the current template or element

  std::optional<std::string> documentViolation_;
  std::optional<std::string> firstUnknownMember_;
  std::optional<std::string> templatesViolation_;
  std::optional<std::string> elementsViolation_;
  schema::TemplateEntries templates_;
  std::map<std::string, std::string> templateViolations_;  // by name, sorted
  ElementMap elements_;
  std::map<std::string, std::string> elementViolations_;
  std::set<std::string> emptyTemplateNames_;  // elements naming the template ""
};

template <typename T>
bool StructureReader<T>::value(json&& scalar) {
  switch (mode_) {
    case Mode::Start: build(Target::Document, std::move(scalar)); break;
    case Mode::Document:
      if (member_ == "templates" || member_ == "elements") {
        startSection(member_ == "templates" ? Section::Templates : Section::Elements);
        build(Target::Section, std::move(scalar));
      } else {
        noteUnknownMember();
      }
      break;
    case Mode::InSection: build(Target::SectionMember, std::move(scalar)); break;
    case Mode::Building: builder_.scalar(std::move(scalar)); break;
    default: break;
  }
  return true;
}

template <typename T>
bool StructureReader<T>::open(json::value_t type) {
  const bool object = type == json::value_t::object;
  switch (mode_) {
    case Mode::Start:
      if (object) {
        mode_ = Mode::Document;
      } else {
        startBuilding(Target::Document, type);
      }
      break;
    case Mode::Document:
      if (member_ == "templates" || member_ == "elements") {
        startSection(member_ == "templates" ? Section::Templates : Section::Elements);
        if (object) {
          mode_ = Mode::InSection;
        } else {
          startBuilding(Target::Section, type);
        }
      } else {
        noteUnknownMember();
        mode_ = Mode::Skipping;
        skipDepth_ = 1;
      }
      break;
    case Mode::InSection: startBuilding(Target::SectionMember, type); break;
    case Mode::Building: builder_.open(type); break;
    case Mode::Skipping: ++skipDepth_; break;
    case Mode::Done: break;
  }
  return true;
}

template <typename T>
bool StructureReader<T>::close() {
  switch (mode_) {
    case Mode::Building:
      builder_.close();
      if (builder_.done()) {
        mode_ = modeAfterBuilding_;
        deliver(target_, builder_.take());
      }
      break;
    case Mode::Skipping:
      if (--skipDepth_ == 0) {
        mode_ = Mode::Document;
      }
      break;
    case Mode::InSection: mode_ = Mode::Document; break;
    case Mode::Document: mode_ = Mode::Done; break;
    default: break;
  }
  return true;
}

template <typename T>
void StructureReader<T>::build(Target target, json&& scalar) {
  deliver(target, std::move(scalar));
  if (target == Target::Document) {
    mode_ = Mode::Done;
  }
}

template <typename T>
void StructureReader<T>::startBuilding(Target target, json::value_t type) {
  target_ = target;
  modeAfterBuilding_ = target == Target::Document  ? Mode::Done
                       : target == Target::Section ? Mode::Document
                                                   : Mode::InSection;
  builder_ = ValueBuilder();
  builder_.open(type);
  mode_ = Mode::Building;
}

// A later "templates" or "elements" replaces an earlier one whole.
template <typename T>
void StructureReader<T>::startSection(Section section) {
  section_ = section;
  if (section == Section::Templates) {
    templatesViolation_.reset();
    templates_.clear();
    templateViolations_.clear();
  } else {
    elementsViolation_.reset();
    elements_.clear();
    elementViolations_.clear();
    emptyTemplateNames_.clear();
  }
}

// Only in strict mode, and only the first by name counts.
template <typename T>
void StructureReader<T>::noteUnknownMember() {
  if (strict_ && (!firstUnknownMember_ || member_ < *firstUnknownMember_)) {
    firstUnknownMember_ = member_;
  }
}

template <typename T>
void StructureReader<T>::deliver(Target target, json&& value) {
  const Path root;
  if (target == Target::Document) {
    documentViolation_ = violationOf([&] { schema::requireObject(value, root); });
  } else if (target == Target::Section) {
    const bool templates = section_ == Section::Templates;
    (templates ? templatesViolation_ : elementsViolation_) = violationOf(
        [&] { schema::requireObject(value, root.member(templates ? "templates" : "elements")); });
  } else if (section_ == Section::Templates) {
    takeTemplate(sectionMember_, value);
  } else {
    takeElement(sectionMember_, value);
  }
}

template <typename T>
void StructureReader<T>::takeTemplate(const std::string& name, const json& value) {
  const Path root;
  const Path path = root.member("templates");
  templates_.erase(name);
  templateViolations_.erase(name);
  if (auto violation = violationOf([&] {
        templates_.emplace(name, schema::readTemplate(name, value, path.member(name), strict_));
      })) {
    templateViolations_.emplace(name, std::move(*violation));
  }
}

template <typename T>
void StructureReader<T>::takeElement(const std::string& name, const json& value) {
  const Path root;
  const Path path = root.member("elements");
  elements_.erase(name);
  elementViolations_.erase(name);
  emptyTemplateNames_.erase(name);
  auto info = std::make_unique<T>();
  bool namesTemplate = false;
  if (auto violation = violationOf([&] {
        namesTemplate = schema::readElementMembers(*info, value, path.member(name), strict_);
      })) {
    elementViolations_.emplace(name, std::move(*violation));
    return;
  }
  if (namesTemplate && info->templateName.empty()) {
    emptyTemplateNames_.insert(name);
  }
  elements_.emplace(name, std::move(info));
}

// Resolves the templates of the elements and builds their topics. Of the
// elements with a violation, in their members or in the template they name,
// the first by name is reported.
template <typename T>
void StructureReader<T>::resolveElements() {
  const Path root;
  const Path path = root.member("elements");
  const std::string* unknownTemplate = nullptr;
  for (auto& [name, info] : elements_) {
    const bool namesTemplate =
        !info->templateName.empty() || emptyTemplateNames_.count(name) > 0;
    if (namesTemplate && templates_.count(info->templateName) == 0) {
      if (unknownTemplate == nullptr || name < *unknownTemplate) {
        unknownTemplate = &name;
      }
      continue;
    }
    if (namesTemplate) {
      schema::attachTemplate(*info, templates_, path.member(name));
    }
    schema::buildTopicKeys(*info);
  }
  const bool memberFirst = !elementViolations_.empty() &&
                           (unknownTemplate == nullptr ||
                            elementViolations_.begin()->first < *unknownTemplate);
  if (memberFirst) {
    throw IoStructureError(elementViolations_.begin()->second);
  }
  if (unknownTemplate != nullptr) {
    schema::attachTemplate(*elements_.at(*unknownTemplate), templates_,
                           path.member(*unknownTemplate));
  }
}

template <typename T>
typename StructureReader<T>::ElementMap StructureReader<T>::finish() {
  if (documentViolation_) {
    throw IoStructureError(*documentViolation_);
  }
  if (firstUnknownMember_) {
    schema::failUnknownMember(Path(), schema::kTopLevelMembers, *firstUnknownMember_);
  }
  if (templatesViolation_) {
    throw IoStructureError(*templatesViolation_);
  }
  if (!templateViolations_.empty()) {
    throw IoStructureError(templateViolations_.begin()->second);
  }
  schema::publishTemplates(templates_);
  if (elementsViolation_) {
    throw IoStructureError(*elementsViolation_);
  }
  resolveElements();
  return std::move(elements_);
}

}  // namespace

// As parseIoStructure, the guard is the caller's promise to empty the cache.
template <typename T>
std::unordered_map<std::string, std::unique_ptr<T>> parseIoStructureText(
    std::string_view text, TemplateCacheCleanupGuard& /*guard*/, bool strict) {
  static_assert(std::is_base_of_v<IoInfo, T>, "T must derive from IoInfo");
  StructureReader<T> reader(strict);
  json::sax_parse(text.begin(), text.end(), &reader);
  return reader.finish();
}

template IoStructure parseIoStructureText<IoInfo>(std::string_view text,
                                                  TemplateCacheCleanupGuard& guard,
                                                  bool strict);

}  // namespace talvoro
