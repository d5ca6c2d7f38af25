#pragma once
// The MQTT topics on which rule publishers and the rules preprocessor meet;
// the service and the deployment tool both take them from here.

#include <cstddef>
#include <string>

namespace talvoro::protocol {

// In: the IO structure, one JSON document.
inline const std::string kConfigurationTopic = "/tl/bridge/configuration";
// Out: the outcome of each configuration message, JSON.
inline const std::string kConfigurationResultTopic = "/tl/bridge/configuration/result";
// In: a rule text; the rule name follows as the last topic level.
inline const std::string kRulesTopicPrefix = "/tl/bridge/rules/add/";
// The filter that takes every rule.
inline const std::string kRulesTopicFilter = kRulesTopicPrefix + "+";
// Out: the CRC-32 of an installed or cleared rule's payload, in decimal.
inline const std::string kStatusTopicPrefix = "/tl/bridge/rules/status/";
// Out: the outcome of each rule message, JSON.
inline const std::string kRuleResultTopicPrefix = "/tl/bridge/rules/result/";
// Out, retained: "waiting", "ready" or "offline".
inline const std::string kStateTopic = "/tl/bridge/rules/state";
// A request for the inventory of installed rules (payload: a request id of
// at most kMaxInventoryRequestBytes), and its answer in pages.
inline const std::string kInventoryRequestTopic = "/tl/bridge/rules/inventory/get";
inline const std::string kInventoryTopic = "/tl/bridge/rules/inventory";
inline constexpr std::size_t kMaxInventoryRequestBytes = 64;
inline constexpr std::size_t kInventoryPageRules = 1000;

// The largest payload an MQTT message can carry (the largest remaining
// length of a packet): no larger configuration or rule can arrive or be sent.
inline constexpr std::size_t kMaxPayloadBytes = 268435455;

}  // namespace talvoro::protocol
