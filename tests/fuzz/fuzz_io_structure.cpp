// Configuration intake: any payload, parsed as JSON and read as an IO
// structure (lenient and strict), must end in a result or in an exception
// whose message can be built.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "talvoro/io_structure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(data, data + size);
  } catch (const nlohmann::json::exception& error) {
    (void)std::strlen(error.what());
    return 0;
  }
  for (const bool strict : {false, true}) {
    talvoro::TemplateCacheCleanupGuard guard;
    try {
      talvoro::parseIoStructure<talvoro::IoInfo>(document, guard, strict);
    } catch (const talvoro::IoStructureError& error) {
      (void)std::strlen(error.what());
    }
  }
  return 0;
}
