#include "rule_checks.h"

#include <utility>

namespace talvoro {

RuleChecks::RuleChecks(RuleCheckSettings settings) : settings_(std::move(settings)) {
  if (settings_.syntaxCheck != SyntaxCheckMode::Off) {
    checker_ = std::make_unique<SyntaxChecker>();
  }
}

std::optional<SyntaxFinding> RuleChecks::checkSyntax(std::string_view text) {
  if (!checker_) {
    return std::nullopt;
  }
  const SyntaxVerdict verdict = checker_->check(text);
  if (verdict.kind == SyntaxVerdict::Kind::Valid) {
    return std::nullopt;
  }
  const bool refuses = verdict.kind == SyntaxVerdict::Kind::Invalid &&
                       settings_.syntaxCheck == SyntaxCheckMode::Reject;
  return SyntaxFinding{refuses, verdict.describe()};
}

RuleReplacement::Vet RuleChecks::commandVet() const {
  if (!settings_.command) {
    return {};
  }
  const CheckCommand* command = &*settings_.command;
  return [command](std::size_t, const std::string& path) -> std::optional<std::string> {
    CheckCommandVerdict verdict = command->check(path);
    if (verdict.accepted) {
      return std::nullopt;
    }
    return std::move(verdict.reason);
  };
}

}  // namespace talvoro
