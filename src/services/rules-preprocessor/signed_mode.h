#pragma once
// Signed mode: the public keys named by RULES_TRUSTED_KEYS, loaded once at
// the start, and what a rule text comes to before it is translated (taken,
// a removal, or refused for its signature).

#include <optional>
#include <string>
#include <string_view>

#include "talvoro/signing/signatures.h"

namespace talvoro {

// The keys of the directory RULES_TRUSTED_KEYS names; nothing when it is
// unset or empty (the service then takes unsigned texts, as it always did).
// Throws signing::KeyError naming the directory or the file.
std::optional<signing::TrustedKeys> trustedKeysFromEnvironment();

// A rule text admitted before translation.
struct AdmittedRule {
  bool removal = false;    // the signed form of an empty text: clears the rule
  long long timestamp = 0;  // the signed time; 0 when unsigned mode takes the text as it is
};

// With `keys`: throws signing::SignatureRejected unless `text` carries a
// valid signature by one of them over `name` and the text, with a timestamp
// line. Without keys signatures are neither required nor checked, but a text
// in the form of a signed removal still removes the rule, so that one
// rules-push command serves controllers in either mode.
AdmittedRule admitRule(const signing::TrustedKeys* keys, std::string_view name,
                       std::string_view text);

}  // namespace talvoro
