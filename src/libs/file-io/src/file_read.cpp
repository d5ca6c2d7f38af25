#include "talvoro/files/file_read.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace talvoro::files {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

FileDescriptor openRegularFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO waits for no writer; the type is checked
  // before the first read.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    throw FileError::fromErrno(path, errno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    throw FileError::fromErrno(path, errno);
  }
  if (!S_ISREG(status.st_mode)) {
    throw FileError(path, "not a regular file");
  }
  return fd;
}

std::string readUpTo(int fd, std::size_t limit, const std::string& shown) {
  std::string text;
  // A regular file's size spares the copies of a growing string.
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    text.reserve(std::min(limit, static_cast<std::size_t>(status.st_size) + 1));
  }
  while (text.size() < limit) {
    const std::size_t had = text.size();
    text.resize(had + std::min(kChunk, limit - had));
    const ssize_t got = ::read(fd, text.data() + had, text.size() - had);
    if (got < 0 && errno == EINTR) {
      text.resize(had);
      continue;
    }
    if (got < 0) {
      const int error = errno;
      throw FileError::fromErrno(shown, error);
    }
    text.resize(had + static_cast<std::size_t>(got));
    if (got == 0) {
      break;
    }
  }
  return text;
}

std::string readToEnd(int fd, std::size_t maxBytes, const std::string& shown) {
  // One byte more than allowed tells a file of exactly maxBytes from a longer one.
  std::string text = readUpTo(fd, maxBytes + 1, shown);
  if (text.size() > maxBytes) {
    throw FileError(shown, fmt::format("larger than {} bytes", maxBytes), EFBIG);
  }
  return text;
}

std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) {
  FileDescriptor fd;
  try {
    fd = openRegularFile(path);
  } catch (const FileError& error) {
    if (error.code() == ENOENT) {
      return std::nullopt;
    }
    throw;
  }
  return readToEnd(fd.get(), maxBytes, path);
}

}  // namespace talvoro::files
