#pragma once

#include <string>

#include "talvoro/io_structure.h"

namespace talvoro::test {

inline IoStructure parseDocument(const nlohmann::json& document,
                                 bool strict = false) {
  TemplateCacheCleanupGuard guard;
  return parseIoStructure<IoInfo>(document, guard, strict);
}

inline IoStructure parse(const std::string& text, bool strict = false) {
  return parseDocument(nlohmann::json::parse(text), strict);
}

// The message of the IoStructureError the document raises, or "" if none.
inline std::string errorOfDocument(const nlohmann::json& document,
                                   bool strict = false) {
  try {
    parseDocument(document, strict);
  } catch (const IoStructureError& error) {
    return error.what();
  }
  return "";
}

inline std::string errorOf(const std::string& text, bool strict = false) {
  return errorOfDocument(nlohmann::json::parse(text), strict);
}

}  // namespace talvoro::test
