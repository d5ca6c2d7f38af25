#include "rule_check_settings.h"

#include <fmt/format.h>

#include <string_view>

namespace talvoro {
namespace {

constexpr SyntaxCheckMode kModes[] = {SyntaxCheckMode::Warn, SyntaxCheckMode::Reject,
                                      SyntaxCheckMode::Off};

SyntaxCheckMode modeOf(std::string_view value) {
  if (value.empty()) {
    return SyntaxCheckMode::Warn;
  }
  for (const SyntaxCheckMode mode : kModes) {
    if (value == modeName(mode)) {
      return mode;
    }
  }
  throw RuleCheckSettingsError(fmt::format(
      "RULES_SYNTAX_CHECK=\"{}\" is not a mode: expected warn, reject or off", value));
}

}  // namespace

const char* modeName(SyntaxCheckMode mode) {
  switch (mode) {
    case SyntaxCheckMode::Warn:
      return "warn";
    case SyntaxCheckMode::Reject:
      return "reject";
    case SyntaxCheckMode::Off:
      break;
  }
  return "off";
}

RuleCheckSettings ruleCheckSettingsFrom(const EnvironmentLookup& lookup) {
  RuleCheckSettings settings;
  settings.syntaxCheck = modeOf(environmentValue(lookup, "RULES_SYNTAX_CHECK"));
  const std::string_view commandLine = environmentValue(lookup, "RULES_CHECK_COMMAND");
  if (!commandLine.empty()) {
    try {
      settings.command.emplace(commandLine);
    } catch (const CheckCommandError& error) {
      throw RuleCheckSettingsError(
          fmt::format("RULES_CHECK_COMMAND=\"{}\": {}", commandLine, error.what()));
    }
  }
  return settings;
}

}  // namespace talvoro
