#include "talvoro/signing/signatures.h"

#include <fmt/format.h>

#include <cctype>

#include "openssl_support.h"
#include "talvoro/signing/formats.h"
#include "talvoro/timestamp_line.h"

namespace talvoro::signing {
namespace {

// Each kind of message is signed under a tag of its own, so that no
// signature made for one kind is valid for another.
constexpr std::string_view kRuleTag = "rules-preprocessor rule v1";
constexpr std::string_view kConfigurationTag = "rules-preprocessor configuration v1";

Digest ruleDigest(std::string_view name, std::string_view signedText) {
  return detail::taggedDigest({kRuleTag, name}, {signedText});
}

// The configuration's text begins with "{": passed as a part of its own so
// that the document is never copied.
Digest configurationDigest(std::string_view timestampDigits, std::string_view rest) {
  return detail::taggedDigest({kConfigurationTag, timestampDigits}, {"{", rest});
}

// The trusted key that `signature` names; throws SignatureRejected unless it
// is one and the signature is its own over `digest`.
void requireValid(const TrustedKeys& keys, const Signature& signature, const Digest& digest,
                  std::string_view what) {
  const PublicKey* key = keys.find(signature.keyId);
  if (key == nullptr) {
    throw SignatureRejected(
        fmt::format("signed by the key {}, which is not trusted", signature.keyId),
        signature.keyId);
  }
  if (!key->verifies(digest, signature.value)) {
    throw SignatureRejected(
        fmt::format("the signature by the key {} does not match the {}", signature.keyId, what),
        signature.keyId);
  }
}

}  // namespace

CheckedRule checkRule(const TrustedKeys& keys, std::string_view name, std::string_view payload) {
  SignedRuleText parts;
  try {
    parts = splitSignedRule(payload);
  } catch (const MalformedSignature& error) {
    throw SignatureRejected(fmt::format("the rule's signature line is malformed: {}",
                                        error.what()),
                            {});
  }
  if (!parts.signature) {
    throw SignatureRejected("the rule is not signed: its last line is no signature line", {});
  }
  const Signature& signature = *parts.signature;
  if (name.find('\0') != std::string_view::npos) {
    throw SignatureRejected("the rule name contains a NUL byte", signature.keyId);
  }
  requireValid(keys, signature, ruleDigest(name, parts.signedText), "rule name and text");
  const auto timestamp = protocol::findTimestampLine(parts.signedText);
  if (!timestamp || timestamp->seconds < 1) {
    throw SignatureRejected("the signed rule has no timestamp line", signature.keyId);
  }
  return {signature.keyId, timestamp->seconds, isRemovalText(parts.signedText)};
}

CheckedConfiguration checkConfiguration(const TrustedKeys& keys, std::string_view document) {
  SignedConfiguration parts;
  try {
    parts = splitSignedConfiguration(document);
  } catch (const MalformedSignature& error) {
    throw SignatureRejected(
        fmt::format("the IO structure's signature member is malformed: {}", error.what()), {});
  }
  if (!parts.signature) {
    throw SignatureRejected(
        R"(the IO structure is not signed: it does not begin with {"signature":)", {});
  }
  requireValid(keys, *parts.signature, configurationDigest(parts.timestampDigits, parts.rest),
               "IO structure");
  return {parts.signature->keyId, parts.timestamp};
}

std::string signRule(const PrivateKey& key, std::string_view name, std::string_view text) {
  if (name.find('\0') != std::string_view::npos) {
    throw std::invalid_argument("a rule name with a NUL byte cannot be signed");
  }
  std::string signedText(splitSignedRule(text).signedText);
  if (!signedText.empty() && signedText.back() != '\n') {
    signedText += '\n';
  }
  const Signature signature{key.id(), key.sign(ruleDigest(name, signedText))};
  return signedText + signatureLine(signature) + '\n';
}

std::string signRemoval(const PrivateKey& key, std::string_view name, long long timestamp) {
  return signRule(key, name, removalText(timestamp));
}

std::string signConfiguration(const PrivateKey& key, std::string_view document,
                              long long timestamp) {
  while (!document.empty() && std::isspace(static_cast<unsigned char>(document.front()))) {
    document.remove_prefix(1);
  }
  if (document.empty() || document.front() != '{') {
    throw std::invalid_argument("the IO structure is not a JSON object");
  }
  if (timestamp < 1) {
    throw std::invalid_argument(fmt::format("the timestamp {} is not above 0", timestamp));
  }
  const SignedConfiguration parts = splitSignedConfiguration(document);
  const std::string_view rest = parts.signature ? parts.rest : document.substr(1);
  const std::string digits = fmt::format("{}", timestamp);
  const Signature signature{key.id(), key.sign(configurationDigest(digits, rest))};
  // An empty object takes the member without a comma.
  const std::size_t next = rest.find_first_not_of(" \t\r\n");
  const bool empty = next != std::string_view::npos && rest[next] == '}';
  std::string signedDocument = "{" + signatureMember(signature, timestamp);
  if (!empty) {
    signedDocument += ',';
  }
  signedDocument.append(rest);
  return signedDocument;
}

}  // namespace talvoro::signing
