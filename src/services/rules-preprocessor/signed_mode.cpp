#include "signed_mode.h"

#include <cstdlib>

#include "talvoro/signing/formats.h"
#include "talvoro/timestamp_line.h"

namespace talvoro {

std::optional<signing::TrustedKeys> trustedKeysFromEnvironment() {
  const char* directory = std::getenv("RULES_TRUSTED_KEYS");
  if (directory == nullptr || *directory == '\0') {
    return std::nullopt;
  }
  return signing::TrustedKeys::fromDirectory(directory);
}

AdmittedRule admitRule(const signing::TrustedKeys* keys, std::string_view name,
                       std::string_view text) {
  if (keys != nullptr) {
    const signing::CheckedRule checked = signing::checkRule(*keys, name, text);
    return {checked.removal, checked.timestamp};
  }
  try {
    const signing::SignedRuleText parts = signing::splitSignedRule(text);
    if (parts.signature && signing::isRemovalText(parts.signedText)) {
      const auto line = protocol::findTimestampLine(parts.signedText);
      return {true, line ? line->seconds : 0};
    }
  } catch (const signing::MalformedSignature&) {
    // Not checked in this mode: the text is a rule like any other.
  }
  return {};
}

}  // namespace talvoro
