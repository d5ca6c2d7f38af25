#include "saved_configuration.h"

#include "talvoro/files/file_read.h"
#include "talvoro/rules_protocol.h"

namespace talvoro {

SavedConfiguration::SavedConfiguration(std::string directory)
    : directory_(std::move(directory)) {}

std::optional<std::string> SavedConfiguration::load() const {
  return files::readRegularFile(path(), protocol::kMaxPayloadBytes);
}

void SavedConfiguration::save(std::string_view text) const {
  files::replaceDurably(directory_, kFileName, text);
}

files::Swept SavedConfiguration::sweep() const {
  return files::sweepTemporaries(directory_, kFileName);
}

}  // namespace talvoro
