#pragma once
// The checks a translated rule passes before it replaces the installed
// version: the built-in syntax check as its mode says, and the operator's
// check command on the written file.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rule_check_settings.h"
#include "rule_replacement.h"
#include "syntax_check.h"

namespace talvoro {

// What the built-in check found in a text about to be installed.
struct SyntaxFinding {
  bool refuses;         // reject mode and a text that does not parse
  std::string message;  // "SyntaxError: ..., line N", or why it was not checked
};

// Owns the syntax checker (none when the check is off) and the check command.
// One thread at a time.
class RuleChecks {
 public:
  explicit RuleChecks(RuleCheckSettings settings);

  // Nothing for a valid text, or when the check is off. A text that is not
  // checked (too large for the engine) is never refused.
  std::optional<SyntaxFinding> checkSyntax(std::string_view text);

  // The check command as the vetting of written files; empty without one.
  RuleReplacement::Vet commandVet() const;

  SyntaxCheckMode mode() const { return settings_.syntaxCheck; }

 private:
  RuleCheckSettings settings_;
  std::unique_ptr<SyntaxChecker> checker_;
};

}  // namespace talvoro
