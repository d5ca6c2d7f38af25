#include "talvoro/rule_name.h"

#include <fmt/format.h>

#include "talvoro/rules_protocol.h"

namespace talvoro::protocol {
namespace {

enum class TextFault { None, Malformed, Refused };

bool isControl(std::uint32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

bool isNonCharacter(std::uint32_t code) {
  return (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFEu) == 0xFFFEu;
}

// Checks `text` as brokers check a topic (mosquitto refuses the connection of
// a client that sends anything else): well-formed UTF-8 (no overlong forms,
// surrogates or code points above U+10FFFF), and neither control characters
// nor non-characters.
TextFault topicTextFault(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    }
    if (length == 0 || i + length > text.size()) {
      return TextFault::Malformed;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0u) != 0x80u) {
        return TextFault::Malformed;
      }
      code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      return TextFault::Malformed;
    }
    if (isControl(code) || isNonCharacter(code)) {
      return TextFault::Refused;
    }
    i += length;
  }
  return TextFault::None;
}

}  // namespace

void checkRuleName(std::string_view name) {
  if (name.empty()) {
    throw BadRuleName("the rule name is empty");
  }
  if (name.find('\0') != std::string_view::npos) {
    throw BadRuleName("the rule name contains a NUL byte");
  }
  if (name.front() == '.') {
    throw BadRuleName("the rule name starts with a dot");
  }
  if (name.size() > kMaxRuleNameLength) {
    throw BadRuleName(fmt::format(
        "the rule name is {} bytes long; its file name would exceed {} bytes "
        "(names of at most {} bytes fit)",
        name.size(), kMaxFileNameLength, kMaxRuleNameLength));
  }
  if (name.find_first_of("/+#") != std::string_view::npos) {
    throw BadRuleName(
        "the rule name holds '/', '+' or '#', which cannot stand in one topic level");
  }
  switch (topicTextFault(name)) {
    case TextFault::None:
      return;
    case TextFault::Malformed:
      throw BadRuleName("the rule name is not well-formed UTF-8");
    case TextFault::Refused:
      throw BadRuleName(
          "the rule name holds a control character or a non-character, which brokers refuse "
          "in a topic");
  }
}

std::string ruleTopic(std::string_view name) { return kRulesTopicPrefix + std::string(name); }

std::string statusTopic(std::string_view name) {
  return kStatusTopicPrefix + std::string(name);
}

std::string resultTopic(std::string_view name) {
  return kRuleResultTopicPrefix + std::string(name);
}

std::string ruleNameOfTopic(std::string_view topic) {
  const std::string_view prefix = kRulesTopicPrefix;
  return topic.size() > prefix.size() && topic.substr(0, prefix.size()) == prefix
             ? std::string(topic.substr(prefix.size()))
             : std::string();
}

}  // namespace talvoro::protocol
