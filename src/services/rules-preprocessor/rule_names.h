#pragma once
// The names in the rule directory: installed versions "<rule>-__<hash>__.js",
// versions moved aside, new files being written; and which rule names fit.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace talvoro {

// The longest file name the file system takes, and so the longest rule
// name whose file name fits with the longest hash of all. The hash of a
// 64-bit controller sets the bound on 32-bit ones too, so that a rule name
// valid on one controller is valid on every one.
inline constexpr std::size_t kMaxFileNameLength = 255;
inline constexpr std::size_t kMaxHashDigits =
    std::numeric_limits<std::uint64_t>::digits10 + 1;
inline constexpr std::size_t kMaxRuleNameLength =
    kMaxFileNameLength - 3 /* "-__" */ - kMaxHashDigits - 5 /* "__.js" */;

// Files of the service's own that the rule engine must never load: new
// versions being written (".rule-XXXXXX", as mkstemp makes them), and
// installed versions moved aside while they are replaced. Both are hidden
// and do not end in ".js".
inline const std::string kPendingFilePrefix = ".rule-";

// A rule that can never be installed as sent (its name cannot be a file name).
class RuleRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An installed file name taken apart.
struct InstalledName {
  std::string rule;
  std::string hash;  // decimal digits
};

// The rule name of a rule topic: what follows the rules topic prefix.
std::string ruleNameOf(const std::string& topic);

// Throws RuleRefused when `name` cannot make the name of a file that the rule
// engine loads, for every text it may carry: a name that installs for some
// texts and not for others would be a trap.
void checkRuleName(const std::string& name);

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
