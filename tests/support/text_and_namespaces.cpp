#include "testsupport/text_and_namespaces.h"

#include <fcntl.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

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

namespace {

bool sameFile(int fd, const char* path) {
  struct stat ofFd {};
  struct stat ofPath {};
  return ::fstat(fd, &ofFd) == 0 && ::stat(path, &ofPath) == 0 &&
         ofFd.st_dev == ofPath.st_dev && ofFd.st_ino == ofPath.st_ino;
}

// The initial user namespace maps every user id to itself.
bool inInitialUserNamespace() {
  std::ifstream map("/proc/self/uid_map");
  std::uint64_t inside = 0, outside = 0, count = 0;
  return map >> inside >> outside >> count && inside == 0 && outside == 0 &&
         count == 4294967295u;
}

// A mount namespace owned by this process's own user namespace, not the
// initial one, was made with it (unshare --user --mount), so no process of an
// enclosing user namespace, the parent's included, shares it.
bool mountNamespaceOwnedByOwnUserNamespace() {
  if (inInitialUserNamespace()) {
    return false;
  }
  // Nothing between open and close can throw.
  const int mounts = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  const int owner = mounts < 0 ? -1 : ::ioctl(mounts, NS_GET_USERNS);
  const bool owned = owner >= 0 && sameFile(owner, "/proc/self/ns/user");
  for (const int fd : {owner, mounts}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  return owned;
}

}  // namespace

bool inPrivateMountNamespace() {
  std::error_code ownError;
  std::error_code parentError;
  const auto own = std::filesystem::read_symlink("/proc/self/ns/mnt", ownError);
  const auto parent = std::filesystem::read_symlink(
      "/proc/" + std::to_string(::getppid()) + "/ns/mnt", parentError);
  if (!ownError && !parentError) {
    return own != parent;
  }
  // From a user namespace of its own, a process may not look into its parent.
  return !ownError && mountNamespaceOwnedByOwnUserNamespace();
}

}  // namespace testsupport
