#pragma once
// The last accepted IO structure, kept on disk, so that after a reboot the
// service is ready without anybody sending the IO structure again.

#include <optional>
#include <string>
#include <string_view>

namespace talvoro {

// systemd's StateDirectory of the service.
inline const std::string kStateDirectory = "/var/lib/rules-preprocessor/";

class SavedConfiguration {
 public:
  explicit SavedConfiguration(std::string directory = kStateDirectory);

  // The text saved last; nothing when none was saved. Throws
  // std::runtime_error when it is there but cannot be read.
  std::optional<std::string> load() const;

  // Replaces the saved text durably. Throws std::runtime_error with the
  // system's reason; what was saved before then stays.
  void save(std::string_view text) const;

  std::string path() const { return directory_ + kFileName; }

 private:
  static constexpr const char* kFileName = "io-structure.json";
  std::string directory_;
};

}  // namespace talvoro
