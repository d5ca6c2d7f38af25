#pragma once
// Reads that can neither hang nor exhaust memory: a FIFO, a device or a link
// to one where a file is expected is refused at once, and no read goes beyond
// the bound the caller gives.

#include <cstddef>
#include <optional>
#include <string>

#include "talvoro/files/file_descriptor.h"
#include "talvoro/files/file_error.h"

namespace talvoro::files {

// Opens `path` for reading without waiting for a writer or a device, and
// only when it is a regular file (or a link to one). Throws FileError: with
// the code ENOENT when nothing is there.
FileDescriptor openRegularFile(const std::string& path);

// At most `limit` bytes of what `fd` yields from where it stands. Throws
// FileError naming `shown` when a read fails.
std::string readUpTo(int fd, std::size_t limit, const std::string& shown);

// Everything `fd` yields until its end (standard input, a pipe, a file).
// Throws FileError naming `shown` when a read fails, or when there is more
// than `maxBytes`.
std::string readToEnd(int fd, std::size_t maxBytes, const std::string& shown);

// The whole content of the regular file `path`, nothing when there is no
// file. Throws FileError when it is no regular file, cannot be read or holds
// more than `maxBytes`.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace talvoro::files
