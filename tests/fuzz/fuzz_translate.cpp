// Rule translation and the timestamp line: any rule text is translated
// against a fixed IO structure, or rejected with std::runtime_error as the
// service expects; the timestamp is read from the text and the translation.

#include "p7/trace.h"
#include "rule_text.h"

#include <cstddef>
#include <cstdint>

namespace {

// Elements with one cell, several cells, none, and values that look like
// replacement patterns.
constexpr const char* kStructure =
    R"json({"templates": {"two": {"cells": ["K1", "K5"]}}, "elements": {)json"
    R"json("lamp1": {"device": "relay_7", "virtualDevice": "kitchen", "port": 3, "cells": ["K2"]},)json"
    R"json("fan2": {"device": "relay_9", "template": "two"}, "bare": {"device": ""},)json"
    R"json("tricky": {"device": "$1 \\0 $& DEVICE_NAME(lamp1) (?R)", "cells": ["$`"]}}})json";

const talvoro::IoStructure& structure() {
  static const talvoro::IoStructure configured = [] {
    P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null");
    talvoro::TemplateCacheCleanupGuard guard;
    return talvoro::parseIoStructure<talvoro::IoInfo>(nlohmann::json::parse(kStructure), guard,
                                                      false);
  }();
  return configured;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)talvoro::extractEpochTsOrZero(text);
  try {
    (void)talvoro::extractEpochTsOrZero(talvoro::translate(text, structure()));
  } catch (const std::runtime_error&) {
    // A rejected rule: the service logs it and goes on.
  }
  return 0;
}
