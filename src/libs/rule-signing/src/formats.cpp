#include "talvoro/signing/formats.h"

#include <fmt/format.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "talvoro/signing/keys.h"
#include "talvoro/timestamp_line.h"

namespace talvoro::signing {
namespace {

// Base64 of kSignatureSize bytes, with its padding.
constexpr std::size_t kEncodedSignatureSize = (kSignatureSize + 2) / 3 * 4;
// A signature line is about 130 bytes; a longer last line is no signature
// line, however it begins, and is not read further.
constexpr std::size_t kMaxSignatureLineLength = 1024;
constexpr std::string_view kLineMarker = "signature:";
constexpr std::string_view kMemberPrefix = R"({"signature":)";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && (isBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The words of `text`, separated by blanks.
std::vector<std::string_view> wordsOf(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < text.size()) {
    if (isBlank(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && !isBlank(text[end])) ++end;
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

std::string encodeBase64(std::string_view bytes) {
  std::string encoded(kEncodedSignatureSize + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(length));
  return encoded;
}

bool isBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

// The raw signature of its base64 text; only the one canonical encoding of
// each signature is taken, so that no two texts carry the same signature.
std::string decodeSignature(std::string_view text) {
  const std::size_t padding = kEncodedSignatureSize - (kSignatureSize * 4 + 2) / 3;
  bool wellFormed = text.size() == kEncodedSignatureSize;
  for (std::size_t i = 0; wellFormed && i < text.size(); ++i) {
    wellFormed = i < text.size() - padding ? isBase64Character(text[i]) : text[i] == '=';
  }
  if (!wellFormed) {
    throw MalformedSignature(fmt::format(
        "the signature is not {} characters of base64", kEncodedSignatureSize));
  }
  std::string bytes(kEncodedSignatureSize / 4 * 3, '\0');
  EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                  reinterpret_cast<const unsigned char*>(text.data()),
                  static_cast<int>(text.size()));
  bytes.resize(kSignatureSize);
  if (encodeBase64(bytes) != text) {
    throw MalformedSignature("the signature's base64 is not in its canonical form");
  }
  return bytes;
}

std::string checkedKeyId(std::string_view id) {
  if (id.size() != kKeyIdLength ||
      id.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
    throw MalformedSignature(fmt::format(
        "the key id is not {} lowercase hexadecimal digits", kKeyIdLength));
  }
  return std::string(id);
}

void requireAlgorithm(std::string_view algorithm) {
  if (algorithm != kAlgorithm) {
    throw MalformedSignature(fmt::format("unsupported signature algorithm \"{}\"",
                                         algorithm.substr(0, 32)));
  }
}

// Seconds of a signature member: decimal, no leading zero, above 0.
long long checkedTimestamp(std::string_view digits) {
  const bool wellFormed = !digits.empty() && digits.size() <= 19 && digits.front() != '0' &&
                          digits.find_first_not_of("0123456789") == std::string_view::npos;
  errno = 0;
  const long long seconds =
      wellFormed ? std::strtoll(std::string(digits).c_str(), nullptr, 10) : 0;
  if (!wellFormed || errno == ERANGE) {
    throw MalformedSignature("the timestamp is not a number of seconds since the epoch");
  }
  return seconds;
}

// The line's words after "//" and "signature:", nothing when it is no
// signature line at all.
std::optional<std::vector<std::string_view>> signatureWords(std::string_view line) {
  line = trimmed(line);
  if (line.substr(0, 2) != "//") {
    return std::nullopt;
  }
  line = trimmed(line.substr(2));
  if (line.substr(0, kLineMarker.size()) != kLineMarker) {
    return std::nullopt;
  }
  return wordsOf(line.substr(kLineMarker.size()));
}

}  // namespace

SignedRuleText splitSignedRule(std::string_view text) {
  std::string_view body = text;
  if (!body.empty() && body.back() == '\n') {
    body.remove_suffix(1);
  }
  const std::size_t lastLineFeed = body.rfind('\n');
  const std::size_t lineStart = lastLineFeed == std::string_view::npos ? 0 : lastLineFeed + 1;
  const std::string_view line = body.substr(lineStart);
  if (line.size() > kMaxSignatureLineLength) {
    return {text, std::nullopt};
  }
  const auto words = signatureWords(line);
  if (!words) {
    return {text, std::nullopt};
  }
  if (words->size() != 3) {
    throw MalformedSignature(
        "the signature line is not \"// signature: ed25519 <key id> <base64>\"");
  }
  requireAlgorithm((*words)[0]);
  Signature signature{checkedKeyId((*words)[1]), decodeSignature((*words)[2])};
  return {text.substr(0, lineStart), std::move(signature)};
}

std::string signatureLine(const Signature& signature) {
  return fmt::format("// {} {} {} {}", kLineMarker, kAlgorithm, signature.keyId,
                     encodeBase64(signature.value));
}

std::string removalText(long long timestamp) {
  return fmt::format("// remove\n// {}\n", timestamp);
}

bool isRemovalText(std::string_view signedText) {
  if (!signedText.empty() && signedText.back() == '\n') {
    signedText.remove_suffix(1);
  }
  const std::size_t lineEnd = signedText.find('\n');
  if (lineEnd == std::string_view::npos) {
    return false;
  }
  const std::string_view first = trimmed(signedText.substr(0, lineEnd));
  const std::string_view second = signedText.substr(lineEnd + 1);
  return first.substr(0, 2) == "//" && trimmed(first.substr(2)) == "remove" &&
         second.find('\n') == std::string_view::npos &&
         protocol::findTimestampLine(second).has_value();
}

SignedConfiguration splitSignedConfiguration(std::string_view document) {
  if (document.substr(0, kMemberPrefix.size()) != kMemberPrefix) {
    return {{}, std::nullopt, 0, {}};
  }
  std::string_view value = document.substr(kMemberPrefix.size());
  const std::size_t end = value.find('"', 1);
  if (value.empty() || value.front() != '"' || end == std::string_view::npos ||
      end > kMaxSignatureLineLength) {
    throw MalformedSignature("the signature member is not a string of reasonable length");
  }
  std::string_view rest = value.substr(end + 1);
  value = value.substr(1, end - 1);
  const std::vector<std::string_view> words = wordsOf(value);
  // Written by programs only, so one exact form: single blanks between the
  // words, nothing around them.
  if (words.size() != 4 || value.find('\t') != std::string_view::npos ||
      value.size() != words[0].size() + words[1].size() + words[2].size() + words[3].size() + 3) {
    throw MalformedSignature(
        "the signature member is not \"ed25519 <key id> <timestamp> <base64>\"");
  }
  requireAlgorithm(words[0]);
  Signature signature{checkedKeyId(words[1]), decodeSignature(words[3])};
  const long long timestamp = checkedTimestamp(words[2]);
  if (!rest.empty() && rest.front() == ',') {
    rest.remove_prefix(1);
  }
  return {rest, std::move(signature), timestamp, words[2]};
}

std::string signatureMember(const Signature& signature, long long timestamp) {
  return fmt::format(R"("signature":"{} {} {} {}")", kAlgorithm, signature.keyId, timestamp,
                     encodeBase64(signature.value));
}

}  // namespace talvoro::signing
