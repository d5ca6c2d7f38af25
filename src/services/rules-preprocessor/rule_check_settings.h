#pragma once
// How rules are checked before they are installed, as the environment says:
// RULES_SYNTAX_CHECK (warn, reject or off) and RULES_CHECK_COMMAND.

#include <optional>
#include <stdexcept>
#include <string>

#include "check_command.h"
#include "environment_lookup.h"

namespace talvoro {

enum class SyntaxCheckMode {
  Warn,    // a rule that does not parse is installed, with a warning
  Reject,  // it is rejected, and the installed version stays
  Off,     // rules are not parsed
};

struct RuleCheckSettings {
  SyntaxCheckMode syntaxCheck = SyntaxCheckMode::Warn;
  std::optional<CheckCommand> command;
};

// A setting that the service refuses to start with; what() names the
// variable, its value and what is expected.
class RuleCheckSettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The settings of the environment that `lookup` reads: an unset or empty
// RULES_SYNTAX_CHECK is warn, an unset or empty RULES_CHECK_COMMAND is no
// command. Throws RuleCheckSettingsError for any other value than warn,
// reject or off, and for a command line that cannot be run.
RuleCheckSettings ruleCheckSettingsFrom(const EnvironmentLookup& lookup);

// The word of a mode, as RULES_SYNTAX_CHECK takes it.
const char* modeName(SyntaxCheckMode mode);

}  // namespace talvoro
