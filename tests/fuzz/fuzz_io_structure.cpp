// Configuration intake: any payload, taken in as the service takes it (a
// nesting limit, the JSON parse, the IO structure, leniently) and read by
// the library strictly too, must end in a structure or in an exception
// whose message can be built.

#include "configuration.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    talvoro::TemplateCacheCleanupGuard guard;
    talvoro::parseConfiguration(text, guard);
  } catch (const std::exception& error) {
    (void)std::strlen(error.what());
    return 0;
  }
  // Within the nesting limit: the strict reading of the same document.
  try {
    talvoro::TemplateCacheCleanupGuard guard;
    talvoro::parseIoStructure<talvoro::IoInfo>(
        nlohmann::json::parse(text.begin(), text.end()), guard, true);
  } catch (const talvoro::IoStructureError& error) {
    (void)std::strlen(error.what());
  }
  return 0;
}
