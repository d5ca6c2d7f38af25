#pragma once
// One controller as rules-push reaches it: the broker it is behind, the
// prefix under which that broker shows the service's topics (a central
// broker bridged to the controller's own), and whom to log in as; and the
// service's topics under that prefix.

#include <optional>
#include <string>
#include <vector>

#include "talvoro/mosquitto/mqtt_types.h"

namespace talvoro::push {

struct Controller {
  std::string broker;
  std::string prefix;  // empty: the service's topics as they are
  // None: MQTT_USERNAME and MQTT_PASSWORD_FILE.
  std::optional<mosquitto::Login> login;
  // What output lines start with: the prefix, or the broker without one.
  std::string label;
};

// Throws UsageError naming `source` unless `prefix` can stand before the
// service's topics: not empty, no wildcard, no NUL, no leading '$', no
// trailing '/'.
void checkTopicPrefix(const std::string& prefix, const std::string& source);

// Gives every controller its label: its prefix, or its broker without one;
// "<broker> <prefix>" where one prefix is used on several brokers.
void labelControllers(std::vector<Controller>& controllers);

// The service's topics under one prefix.
class Topics {
 public:
  explicit Topics(std::string prefix) : prefix_(std::move(prefix)) {}

  const std::string& prefix() const { return prefix_; }
  std::string rule(const std::string& name) const;
  std::string ruleResult(const std::string& name) const;
  std::string status(const std::string& name) const;
  std::string configuration() const;
  std::string configurationResult() const;
  std::string state() const;
  std::string inventoryRequest() const;
  std::string inventory() const;
  // The filter of every rule result.
  std::string ruleResults() const;
  // `topic` without the prefix when it carries it, else nothing.
  std::optional<std::string> local(const std::string& topic) const;

 private:
  std::string prefix_;
};

}  // namespace talvoro::push
