// Configuration intake: any payload, taken in as the service takes it (a
// nesting limit, the IO structure built while the text is read, leniently),
// must end in a structure or in an exception whose message can be built; and
// both readers of the library, from the text and from a parsed document,
// must come to the same structure or the same error, leniently and strictly.

#include "configuration.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// What a reading came to, as text: the error, or every element.
template <typename Read>
std::string outcomeOf(Read read) {
  try {
    talvoro::TemplateCacheCleanupGuard guard;
    const talvoro::IoStructure structure = read(guard);
    std::vector<std::string> elements;
    for (const auto& [key, element] : structure) {
      elements.push_back(key + '|' + element->deviceName + '|' + element->virtualDeviceName +
                         '|' + std::to_string(element->port));
    }
    std::sort(elements.begin(), elements.end());
    std::string all;
    for (const std::string& element : elements) {
      all += element + '\n';
    }
    return all;
  } catch (const std::exception& error) {
    return std::string("error: ") + error.what();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string taken =
      outcomeOf([&](talvoro::TemplateCacheCleanupGuard& guard) {
        return talvoro::parseConfiguration(text, guard);
      });
  if (taken.rfind("error: the configuration nests", 0) == 0) {
    return 0;  // refused before either reader sees it
  }
  for (const bool strict : {false, true}) {
    const std::string fromText = outcomeOf([&](talvoro::TemplateCacheCleanupGuard& guard) {
      return talvoro::parseIoStructureText<talvoro::IoInfo>(text, guard, strict);
    });
    const std::string fromDocument = outcomeOf([&](talvoro::TemplateCacheCleanupGuard& guard) {
      return talvoro::parseIoStructure<talvoro::IoInfo>(
          nlohmann::json::parse(text.begin(), text.end()), guard, strict);
    });
    if (fromText != fromDocument || (!strict && fromText != taken)) {
      std::abort();
    }
  }
  return 0;
}
