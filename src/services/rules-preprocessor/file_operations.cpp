#include "file_operations.h"

#include <fmt/format.h>

#include <cerrno>
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

bool writeAll(int fd, const std::string& text) {
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

}  // namespace talvoro
