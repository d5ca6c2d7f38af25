#include "file_operations.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace talvoro {

std::string systemErrorText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

RuleFileError::RuleFileError(Stage stage, const std::string& operation,
                             const std::string& reason, int code)
    : std::runtime_error(fmt::format("{}: {}", operation, reason)),
      stage_(stage),
      reason_(reason),
      code_(code) {}

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

void replaceFileDurably(const std::string& dir, const std::string& name, std::string_view text) {
  const auto fail = [](const std::string& operation, int error) {
    return std::runtime_error(fmt::format("{}: {}", operation, systemErrorText(error)));
  };
  std::string temporary = dir + "." + name + "-XXXXXX";
  FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) {
    throw fail(fmt::format("создание {}", temporary), errno);
  }
  const std::string path = dir + name;
  if (::fchmod(file.get(), 0644) != 0 || !writeAll(file.get(), text) ||
      ::fsync(file.get()) != 0 || !file.close() ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw fail(fmt::format("запись {}", path), error);
  }
  FileDescriptor directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid() || ::fsync(directory.get()) != 0) {
    throw fail(fmt::format("синхронизация каталога {}", dir), errno);
  }
}

}  // namespace talvoro
