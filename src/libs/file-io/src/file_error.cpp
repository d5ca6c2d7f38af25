#include "talvoro/files/file_error.h"

#include <fmt/format.h>

#include <system_error>

namespace talvoro::files {

std::string systemErrorText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

FileError::FileError(const std::string& path, const std::string& reason, int code)
    : std::runtime_error(fmt::format("{}: {}", path, reason)),
      path_(path),
      reason_(reason),
      code_(code) {}

}  // namespace talvoro::files
