#include "talvoro/rule_name.h"

#include <fmt/format.h>

#include "talvoro/mqtt_text.h"
#include "talvoro/rules_protocol.h"

namespace talvoro::protocol {

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
  switch (mqttTextFault(name)) {
    case MqttTextFault::None:
      return;
    case MqttTextFault::Malformed:
      throw BadRuleName("the rule name is not well-formed UTF-8");
    case MqttTextFault::Refused:
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
