#pragma once
// Complete writes, and the durable replacement of a file: a power cut leaves
// its old content or the new, never a mix, and what an interrupted
// replacement left behind is swept away later.

#include <string>
#include <string_view>
#include <vector>

#include "talvoro/files/file_error.h"

namespace talvoro::files {

// Writes all of `text`, going on after interruptions; false with errno set
// when a write fails.
bool writeAll(int fd, std::string_view text);

// Makes the entries of directory `dir` durable (fsync of the directory).
// Returns 0 or the errno value.
int syncDirectory(const std::string& dir);

// The new content is in place, but the directory could not be synced: a
// power cut may still bring the old content back.
class NotDurable : public FileError {
 public:
  using FileError::FileError;
};

// Replaces file `name` in directory `dir` (ending with a slash) by `text`:
// written to a temporary file ".<name>-XXXXXX" beside it, synced, renamed over
// the old one, the directory synced. Throws FileError (the path named is the
// one that failed); the old file is then untouched. Throws NotDurable when
// only the directory sync failed.
void replaceDurably(const std::string& dir, const std::string& name, std::string_view text);

// What sweepTemporaries found.
struct Swept {
  std::vector<std::string> removed;  // paths
  std::vector<FileError> failures;   // what could not be listed or removed
};

// Removes the temporary files of interrupted replacements of `name` in `dir`.
Swept sweepTemporaries(const std::string& dir, const std::string& name);

}  // namespace talvoro::files
