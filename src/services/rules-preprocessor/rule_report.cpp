#include "rule_report.h"

#include <fmt/format.h>

#include <new>

#include "service_trace.h"
#include "talvoro/rule_name.h"
#include "talvoro/rules_protocol.h"

namespace talvoro {
namespace {

std::string ruleResultPayload(const RuleReport& report) {
  const RuleOutcome& outcome = report.outcome;
  nlohmann::json result = {{protocol::kCrcField, report.crc},
                           {protocol::kOutcomeField, protocol::outcomeName(outcome.kind)}};
  if (!outcome.reason.empty()) {
    result[protocol::kReasonField] = outcome.reason;
  }
  if (!outcome.file.empty()) {
    result[protocol::kFileField] = outcome.file;
  }
  if (!report.warning.empty() && outcome.kind == RuleOutcome::Kind::Installed) {
    result[protocol::kWarningField] = report.warning;
  }
  return jsonText(result);
}

}  // namespace

std::vector<Publication> publicationsOf(const RuleReport& report) {
  std::vector<Publication> publications;
  const auto kind = report.outcome.kind;
  // The status says which text is in place; an unchanged rule's status goes
  // out again, so that one lost with a crash or a broker restart is put right.
  if (kind == RuleOutcome::Kind::Installed || kind == RuleOutcome::Kind::Cleared ||
      kind == RuleOutcome::Kind::Unchanged) {
    publications.push_back({Publication::Kind::Status, report.name,
                            protocol::statusTopic(report.name),
                            fmt::format("{}", report.crc)});
  }
  publications.push_back({Publication::Kind::Result, report.name,
                          protocol::resultTopic(report.name),
                          ruleResultPayload(report)});
  return publications;
}

RuleOutcome replacementOutcome(const RuleReplacement& replacement, std::size_t i) {
  using State = RuleReplacement::State;
  const RuleChange& change = replacement.change(i);
  const std::string reason =
      replacement.error(i) ? replacement.error(i)->reason() : std::string();
  switch (replacement.state(i)) {
    case State::Done:
      if (change.text.empty()) {
        return {RuleOutcome::Kind::Cleared, {}, {}};
      }
      return {RuleOutcome::Kind::Installed, {}, change.newFileName};
    case State::NotDurable:
      return {RuleOutcome::Kind::Failed,
              fmt::format("the rule is cleared, but not durably ({}): a power cut may bring "
                          "its previous version back",
                          reason),
              {}};
    case State::Refused:
      return {RuleOutcome::Kind::Rejected, replacement.refusal(i), {}};
    case State::RolledBack:
      return {RuleOutcome::Kind::Failed,
              fmt::format("{}; the previous version is in place again", reason), {}};
    case State::RollbackFailed:
      if (replacement.newVersionLive(i)) {
        return {RuleOutcome::Kind::Failed,
                fmt::format("{}; taking the new version back failed too ({}): it is in place, "
                            "but a power cut may take it back",
                            reason, replacement.rollbackError(i)->reason()),
                change.newFileName};
      }
      return {RuleOutcome::Kind::Failed,
              fmt::format("{}; putting the previous version back failed too ({}): the rule has "
                          "no version in place until the next start puts it back",
                          reason, replacement.rollbackError(i)->reason()),
              {}};
    default:
      return {RuleOutcome::Kind::Failed, reason, {}};
  }
}

std::string failureReason(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
    return "not enough memory for the rule";
  }
  return excerpt(error.what(), kMaxErrorTextInRecord);
}

}  // namespace talvoro
