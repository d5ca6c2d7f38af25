#pragma once
// Signing rule texts, removals and IO structures for rules-push, and checking
// them for the service in signed mode: a message is taken only with a valid
// signature by a trusted key and, for a rule, with a timestamp line.

#include <stdexcept>
#include <string>
#include <string_view>

#include "talvoro/signing/keys.h"

namespace talvoro::signing {

// Why a message is not taken in signed mode. what() is the reason, for the
// result and the trace log; it never quotes the message's text.
class SignatureRejected : public std::runtime_error {
 public:
  SignatureRejected(const std::string& reason, std::string keyId)
      : std::runtime_error(reason), keyId_(std::move(keyId)) {}

  // The key the message names, empty when it names none.
  const std::string& keyId() const { return keyId_; }

 private:
  std::string keyId_;
};

struct CheckedRule {
  std::string keyId;
  long long timestamp;  // of its timestamp line, above 0
  bool removal;         // the signed form of an empty text
};

// Checks the rule text `payload` received for the rule `name`. Throws
// SignatureRejected unless its last line is a signature by one of `keys`
// over the name and all of the text before that line, and that text has a
// timestamp line.
CheckedRule checkRule(const TrustedKeys& keys, std::string_view name, std::string_view payload);

struct CheckedConfiguration {
  std::string keyId;
  long long timestamp;  // of its signature, above 0
};

// Checks an IO structure document. Throws SignatureRejected unless it
// begins with a signature member by one of `keys` over the rest of it.
CheckedConfiguration checkConfiguration(const TrustedKeys& keys, std::string_view document);

// `text` with a line feed if it ends without one, and a signature line by
// `key` over it and `name`. A signature line it ends with already is
// replaced. Throws MalformedSignature when its last line is a signature line
// that cannot be read, std::invalid_argument for a name with a NUL byte.
std::string signRule(const PrivateKey& key, std::string_view name, std::string_view text);

// The signed text that removes the rule `name`.
std::string signRemoval(const PrivateKey& key, std::string_view name, long long timestamp);

// `document` (a JSON object) with a signature member by `key` first, made at
// `timestamp`; a signature member it begins with already is replaced.
// Throws std::invalid_argument when it does not begin with "{" (blanks
// before it are dropped), MalformedSignature as splitSignedConfiguration.
std::string signConfiguration(const PrivateKey& key, std::string_view document,
                              long long timestamp);

}  // namespace talvoro::signing
