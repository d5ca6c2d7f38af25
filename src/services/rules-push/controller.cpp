#include "controller.h"

#include <fmt/format.h>

#include <map>
#include <set>

#include "push_options.h"
#include "talvoro/rules_protocol.h"

namespace talvoro::push {

void checkTopicPrefix(const std::string& prefix, const std::string& source) {
  const auto refuse = [&](const char* why) {
    throw UsageError(fmt::format("{}: \"{}\" is no topic prefix: {}", source, prefix, why));
  };
  if (prefix.empty()) {
    refuse("it is empty");
  }
  if (prefix.find_first_of("+#") != std::string::npos) {
    refuse("it holds a wildcard ('+' or '#')");
  }
  if (prefix.find('\0') != std::string::npos) {
    refuse("it holds a NUL character");
  }
  if (prefix.front() == '$') {
    refuse("topics starting with '$' are the broker's own");
  }
  if (prefix.back() == '/') {
    refuse("it ends with '/' (the service's topics start with one)");
  }
  // Room for the longest topic (a status with a rule name of 227 bytes).
  constexpr std::size_t kMostBytes = 60000;
  if (prefix.size() > kMostBytes) {
    refuse("it is longer than a topic allows");
  }
}

void labelControllers(std::vector<Controller>& controllers) {
  std::map<std::string, std::set<std::string>> brokersOfPrefix;
  for (const Controller& controller : controllers) {
    brokersOfPrefix[controller.prefix].insert(controller.broker);
  }
  for (Controller& controller : controllers) {
    if (controller.prefix.empty()) {
      controller.label = controller.broker;
    } else if (brokersOfPrefix[controller.prefix].size() > 1) {
      controller.label = controller.broker + " " + controller.prefix;
    } else {
      controller.label = controller.prefix;
    }
  }
}

std::string Topics::rule(const std::string& name) const {
  return prefix_ + protocol::kRulesTopicPrefix + name;
}

std::string Topics::ruleResult(const std::string& name) const {
  return prefix_ + protocol::kRuleResultTopicPrefix + name;
}

std::string Topics::status(const std::string& name) const {
  return prefix_ + protocol::kStatusTopicPrefix + name;
}

std::string Topics::configuration() const { return prefix_ + protocol::kConfigurationTopic; }

std::string Topics::configurationResult() const {
  return prefix_ + protocol::kConfigurationResultTopic;
}

std::string Topics::state() const { return prefix_ + protocol::kStateTopic; }

std::string Topics::inventoryRequest() const {
  return prefix_ + protocol::kInventoryRequestTopic;
}

std::string Topics::inventory() const { return prefix_ + protocol::kInventoryTopic; }

std::string Topics::ruleResults() const { return prefix_ + protocol::kRuleResultTopicPrefix + "+"; }

std::optional<std::string> Topics::local(const std::string& topic) const {
  if (topic.compare(0, prefix_.size(), prefix_) != 0) {
    return std::nullopt;
  }
  return topic.substr(prefix_.size());
}

}  // namespace talvoro::push
