#pragma once
// What a rule message came to, in the words its publisher reads: the outcome
// of a rule, the status and result messages that say it, and the outcome a
// replacement's end state comes to.

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "publication.h"
#include "rule_replacement.h"
#include "talvoro/rule_result.h"

namespace talvoro {

// How one rule message ended.
struct RuleOutcome {
  using Kind = protocol::Outcome;
  Kind kind;
  std::string reason;  // for Rejected, Failed and Outdated
  std::string file;    // the installed file's name: for Installed, and for a
                       // failure that left the new version in place
};

struct RuleReport {
  std::string name;
  std::uint32_t crc;  // of the payload as received
  RuleOutcome outcome;
  // Of an installed rule: what its publisher should know (the text does not
  // parse, a placeholder resolved to nothing); empty when nothing.
  std::string warning;
};

// The status (of a rule installed, cleared or unchanged), then the result.
std::vector<Publication> publicationsOf(const RuleReport& report);

// How a rule's replacement (rule `i` of it) ended, in the words of its
// result: what is on disk.
RuleOutcome replacementOutcome(const RuleReplacement& replacement, std::size_t i);

// The reason given for an unexpected failure, short and in words.
std::string failureReason(const std::exception& error);

}  // namespace talvoro
