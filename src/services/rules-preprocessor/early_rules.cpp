#include "early_rules.h"

#include <fmt/format.h>

#include <string>
#include <string_view>

#include "talvoro/rule_crc.h"
#include "talvoro/rule_name.h"

namespace talvoro {

bool EarlyRules::hold(mosquitto::Message& message) {
  const std::string name = protocol::ruleNameOfTopic(message.topic);
  if (bytes_ + message.payload.size() > kMaxBytes) {
    TRACE_AS(kClientFunction, trace_, Error,
             "Правило %s получено раньше структуры ввода-вывода, а ждущих её правил уже "
             "больше %zu байт",
             name.c_str(), kMaxBytes);
    return false;
  }
  TRACE_AS(kClientFunction, trace_, Info,
           "Правило %s получено раньше структуры ввода-вывода и ждёт её", name.c_str());
  bytes_ += message.payload.size();
  messages_.push_back(std::move(message));
  return true;
}

void EarlyRules::released() {
  if (!messages_.empty()) {
    TRACE_AS(kClientFunction, trace_, Info,
             "Структура ввода-вывода принята: правил, ждавших её, %zu", messages_.size());
  }
}

std::optional<mosquitto::Message> EarlyRules::take() {
  if (messages_.empty()) {
    return std::nullopt;
  }
  mosquitto::Message message = std::move(messages_.front());
  messages_.pop_front();
  bytes_ -= message.payload.size();
  return message;
}

RuleReport unheldRule(const mosquitto::Message& message) {
  return {protocol::ruleNameOfTopic(message.topic),
          protocol::ruleCrc(std::string_view(message.payload.data(), message.payload.size())),
          {RuleOutcome::Kind::Failed,
           fmt::format("no IO structure yet, and the rules waiting for one hold more than {} "
                       "bytes: send it again once the IO structure is accepted",
                       EarlyRules::kMaxBytes),
           {}},
          {}};
}

}  // namespace talvoro
