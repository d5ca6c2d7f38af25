#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

// How often `fragment` (not empty) occurs in `text` from `from` on,
// overlapping occurrences included.
std::size_t countOccurrences(const std::string& text, const std::string& fragment,
                             std::size_t from = 0);

// True when this process runs in a mount namespace other than its parent's,
// as it does when started through run-in-private-mounts.sh (as root, or as a
// normal user in a user namespace of its own that owns the mount namespace);
// false when that cannot be told. Only then may a test mount over parts of the
// file system.
bool inPrivateMountNamespace();

}  // namespace testsupport
