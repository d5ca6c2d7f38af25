#include "saved_configuration.h"

#include <fmt/format.h>

#include <fcntl.h>

#include <cerrno>
#include <stdexcept>

#include "talvoro/files/file_descriptor.h"
#include "talvoro/files/file_write.h"

namespace talvoro {

SavedConfiguration::SavedConfiguration(std::string directory)
    : directory_(std::move(directory)) {}

std::optional<std::string> SavedConfiguration::load() const {
  const std::string file = path();
  const auto readError = [&file](int error) {
    return std::runtime_error(fmt::format("чтение {}: {}", file, files::systemErrorText(error)));
  };
  files::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      return std::nullopt;
    }
    throw readError(errno);
  }
  std::string text;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return text;
    } else if (errno != EINTR) {
      throw readError(errno);
    }
  }
}

void SavedConfiguration::save(std::string_view text) const {
  files::replaceDurably(directory_, kFileName, text);
}

}  // namespace talvoro
