#pragma once
// The names in the rule directory: installed versions "<rule>-__<hash>__.js",
// versions moved aside, new files being written.

#include <optional>
#include <string>

namespace talvoro {

// Files of the service's own that the rule engine must never load: new
// versions being written (".rule-XXXXXX", as mkstemp makes them), and
// installed versions moved aside while they are replaced. Both are hidden
// and do not end in ".js".
inline const std::string kPendingFilePrefix = ".rule-";

// An installed file name taken apart.
struct InstalledName {
  std::string rule;
  std::string hash;  // decimal digits
};

std::string installedFileName(const std::string& rule, const std::string& hash);

// The rule and hash of an installed file name, nothing for any other name.
std::optional<InstalledName> parseInstalledFileName(const std::string& fileName);

// ".<rule>-__<hash>.old" for "<rule>-__<hash>__.js": as long as the installed
// name, so it always fits, hidden, and never taken for a rule file.
std::string asideFileName(const std::string& installedName);

// The installed file name that the aside file `entry` was moved away from,
// or empty when `entry` is no aside file.
std::string installedNameOfAside(const std::string& entry);

bool isPendingFileName(const std::string& entry);

}  // namespace talvoro
