#include "testsupport/text_and_namespaces.h"

#include <unistd.h>

#include <filesystem>

namespace testsupport {

std::size_t countOccurrences(const std::string& text, const std::string& fragment,
                             std::size_t from) {
  std::size_t count = 0;
  for (auto at = text.find(fragment, from); at != std::string::npos;
       at = text.find(fragment, at + 1)) {
    ++count;
  }
  return count;
}

bool inPrivateMountNamespace() {
  std::error_code ownError;
  std::error_code parentError;
  const auto own = std::filesystem::read_symlink("/proc/self/ns/mnt", ownError);
  const auto parent = std::filesystem::read_symlink(
      "/proc/" + std::to_string(::getppid()) + "/ns/mnt", parentError);
  return !ownError && !parentError && own != parent;
}

}  // namespace testsupport
