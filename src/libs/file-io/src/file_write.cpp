#include "talvoro/files/file_write.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "talvoro/files/file_descriptor.h"

namespace talvoro::files {
namespace {

// mkstemp's six random characters follow the prefix.
constexpr std::size_t kRandomPart = 6;

std::string temporaryPrefix(const std::string& name) { return "." + name + "-"; }

bool isTemporaryOf(const std::string& entry, const std::string& name) {
  const std::string prefix = temporaryPrefix(name);
  return entry.size() == prefix.size() + kRandomPart &&
         entry.compare(0, prefix.size(), prefix) == 0 &&
         std::all_of(entry.begin() + prefix.size(), entry.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

bool writeAll(int fd, std::string_view text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

int syncDirectory(const std::string& dir) {
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0 ? 0 : errno;
}

void replaceDurably(const std::string& dir, const std::string& name, std::string_view text) {
  std::string temporary = dir + temporaryPrefix(name) + "XXXXXX";
  FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) {
    throw FileError::fromErrno(temporary, errno);
  }
  const std::string path = dir + name;
  if (::fchmod(file.get(), 0644) != 0 || !writeAll(file.get(), text) ||
      ::fsync(file.get()) != 0 || !file.close() ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw FileError::fromErrno(path, error);
  }
  if (const int error = syncDirectory(dir); error != 0) {
    throw NotDurable(dir, systemErrorText(error), error);
  }
}

Swept sweepTemporaries(const std::string& dir, const std::string& name) {
  Swept swept;
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
  if (!listing) {
    if (errno != ENOENT) {
      swept.failures.push_back(FileError::fromErrno(dir, errno));
    }
    return swept;
  }
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (isTemporaryOf(entry->d_name, name)) {
      found.push_back(dir + entry->d_name);
    }
  }
  for (std::string& path : found) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      continue;  // not one of ours
    }
    if (::unlink(path.c_str()) != 0) {
      swept.failures.push_back(FileError::fromErrno(path, errno));
    } else {
      swept.removed.push_back(std::move(path));
    }
  }
  return swept;
}

}  // namespace talvoro::files
