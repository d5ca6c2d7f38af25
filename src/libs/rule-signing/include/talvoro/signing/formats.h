#pragma once
// Where a signature travels: the last line of a rule text, the signed form of
// a rule's removal, and the first member of an IO structure document. Reading
// and writing them only; whether a signature is valid is signatures.h's.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace talvoro::signing {

// A signature as a message carries it.
struct Signature {
  std::string keyId;  // kKeyIdLength lowercase hex digits
  std::string value;  // raw, kSignatureSize bytes
};

// A signature line or member that says it is one but cannot be read; what()
// says what is wrong with it.
class MalformedSignature : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The only algorithm, as signatures name it.
inline constexpr std::string_view kAlgorithm = "ed25519";

// A rule text taken apart at its signature line.
struct SignedRuleText {
  std::string_view signedText;         // all before the signature line
  std::optional<Signature> signature;  // nothing when the last line is none
};

// Splits `text` when its last line (a line feed may follow it) is a
// signature line: "//", "signature:", the algorithm, the key id and the
// base64 signature, separated by blanks, blanks before and after allowed.
// Throws MalformedSignature when the last line begins like one ("//" and
// "signature:") but is not well-formed or names another algorithm.
SignedRuleText splitSignedRule(std::string_view text);

// "// signature: ed25519 <key id> <base64>", without a line feed.
std::string signatureLine(const Signature& signature);

// The text that removes a rule when it is signed like a rule text: the line
// "// remove" and a timestamp line, nothing else.
std::string removalText(long long timestamp);
// True when `signedText` (a rule text without its signature line) is one.
bool isRemovalText(std::string_view signedText);

// An IO structure document taken apart at its signature member.
struct SignedConfiguration {
  // With a signature: it covers "{" followed by this, the document as it
  // was before the member was put in.
  std::string_view rest;
  std::optional<Signature> signature;
  long long timestamp = 0;  // given with the signature, seconds since the epoch
  std::string_view timestampDigits;
};

// Splits `document` when it begins with the signature member, byte for byte
// `{"signature":"ed25519 <key id> <timestamp> <base64>"` followed by a comma
// (dropped) or the rest of the object. Throws MalformedSignature when it
// begins with `{"signature":` but the member is not well-formed.
SignedConfiguration splitSignedConfiguration(std::string_view document);

// `"signature":"ed25519 <key id> <timestamp> <base64>"`
std::string signatureMember(const Signature& signature, long long timestamp);

}  // namespace talvoro::signing
