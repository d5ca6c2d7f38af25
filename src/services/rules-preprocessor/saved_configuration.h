#pragma once
// The last accepted IO structure, kept on disk, so that after a reboot the
// service is ready without anybody sending the IO structure again.

#include <optional>
#include <string>
#include <string_view>

#include "talvoro/files/file_write.h"

namespace talvoro {

// systemd's StateDirectory of the service.
inline const std::string kStateDirectory = "/var/lib/rules-preprocessor/";

class SavedConfiguration {
 public:
  explicit SavedConfiguration(std::string directory = kStateDirectory);

  // The text saved last; nothing when none was saved. Read as a rule file
  // is: without waiting on a FIFO or a device, only from a regular file, and
  // no more than the largest configuration that can arrive. Throws
  // files::FileError when it is there but cannot be read.
  std::optional<std::string> load() const;

  // Replaces the saved text durably. Throws files::FileError with the
  // system's reason (what was saved before then stays), or files::NotDurable
  // when the new text is in place but a power cut may bring the old one back.
  void save(std::string_view text) const;

  // Removes the temporary files of saves that were cut off.
  files::Swept sweep() const;

  std::string path() const { return directory_ + kFileName; }

 private:
  static constexpr const char* kFileName = "io-structure.json";
  std::string directory_;
};

}  // namespace talvoro
