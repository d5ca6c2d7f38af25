// The signature formats as received: any rule text and any IO structure
// document is split at its signature, or refused as malformed; what was read
// out of it is written back as the same line or member and reads the same
// again, and the signed part is exactly what precedes the signature.
//
// Input: the received text, used both as a rule text and as a document.

#include "talvoro/signing/formats.h"
#include "talvoro/timestamp_line.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool sameSignature(const talvoro::signing::Signature& a, const talvoro::signing::Signature& b) {
  return a.keyId == b.keyId && a.value == b.value;
}

void ruleText(std::string_view text) {
  using namespace talvoro::signing;
  SignedRuleText parts;
  try {
    parts = splitSignedRule(text);
  } catch (const MalformedSignature&) {
    return;
  }
  require(text.substr(0, parts.signedText.size()) == parts.signedText);
  if (isRemovalText(parts.signedText)) {
    require(talvoro::protocol::findTimestampLine(parts.signedText).has_value());
  }
  if (!parts.signature) {
    require(parts.signedText.size() == text.size());
    return;
  }
  require(parts.signedText.empty() || parts.signedText.back() == '\n');
  const std::string line = signatureLine(*parts.signature);
  const std::string again = std::string(parts.signedText) + line + "\n";
  const SignedRuleText reread = splitSignedRule(again);
  require(reread.signature && sameSignature(*reread.signature, *parts.signature));
  require(reread.signedText == parts.signedText);
}

void document(std::string_view text) {
  using namespace talvoro::signing;
  SignedConfiguration parts;
  try {
    parts = splitSignedConfiguration(text);
  } catch (const MalformedSignature&) {
    return;
  }
  if (!parts.signature) {
    return;
  }
  require(parts.timestamp > 0);
  require(text.substr(text.size() - parts.rest.size()) == parts.rest);
  const std::string again =
      "{" + signatureMember(*parts.signature, parts.timestamp) + "," + std::string(parts.rest);
  const SignedConfiguration reread = splitSignedConfiguration(again);
  require(reread.signature && sameSignature(*reread.signature, *parts.signature));
  require(reread.rest == parts.rest && reread.timestamp == parts.timestamp);
  require(reread.timestampDigits == parts.timestampDigits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ruleText(text);
  document(text);
  return 0;
}
