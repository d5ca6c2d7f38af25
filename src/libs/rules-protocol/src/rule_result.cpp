#include "talvoro/rule_result.h"

namespace talvoro::protocol {
namespace {

struct Named {
  Outcome outcome;
  const char* name;
};

constexpr Named kOutcomes[] = {
    {Outcome::Installed, "installed"}, {Outcome::Cleared, "cleared"},
    {Outcome::Unchanged, "unchanged"}, {Outcome::Outdated, "outdated"},
    {Outcome::Rejected, "rejected"},   {Outcome::Failed, "failed"},
    {Outcome::Accepted, "accepted"}, {Outcome::Retranslated, "retranslated"},
};

}  // namespace

const char* outcomeName(Outcome outcome) {
  for (const Named& named : kOutcomes) {
    if (named.outcome == outcome) {
      return named.name;
    }
  }
  return "failed";
}

std::optional<Outcome> outcomeNamed(std::string_view name) {
  for (const Named& named : kOutcomes) {
    if (name == named.name) {
      return named.outcome;
    }
  }
  return std::nullopt;
}

bool isSuccess(std::string_view outcomeName) {
  const std::optional<Outcome> outcome = outcomeNamed(outcomeName);
  return outcome == Outcome::Installed || outcome == Outcome::Cleared ||
         outcome == Outcome::Unchanged || outcome == Outcome::Accepted ||
         outcome == Outcome::Retranslated;
}

}  // namespace talvoro::protocol
