#include "fleet_file.h"

#include <fmt/format.h>

#include <set>
#include <sstream>
#include <utility>

namespace talvoro::push {
namespace {

std::vector<std::string> fieldsOf(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> fields;
  for (std::string field; stream >> field;) {
    fields.push_back(field);
  }
  return fields;
}

bool hasKey(const std::string& field, const std::string& key) {
  return field.compare(0, key.size() + 1, key + "=") == 0;
}

// The controller of one line that has fields; `where` is "FILE:LINE".
Controller controllerOfLine(const std::vector<std::string>& fields, const std::string& where,
                            const std::string& defaultBroker) {
  std::size_t next = 0;
  Controller controller{defaultBroker, {}, std::nullopt, {}};
  if (fields[0].find("://") != std::string::npos) {
    controller.broker = fields[next++];
  }
  try {
    checkBrokerAddress(controller.broker, where);
    if (next == fields.size()) {
      throw UsageError(fmt::format("{}: no topic prefix after the broker", where));
    }
    checkTopicPrefix(fields[next++], where);
    controller.prefix = fields[next - 1];
  } catch (const UsageError& error) {
    throw InputError(error.what());
  }
  for (; next < fields.size(); ++next) {
    const std::string& field = fields[next];
    mosquitto::Login& login = controller.login ? *controller.login : controller.login.emplace();
    if (hasKey(field, "user") && field.size() > 5) {
      login.username = field.substr(5);
    } else if (hasKey(field, "password-file") && field.size() > 14) {
      login.passwordFile = field.substr(14);
    } else {
      throw InputError(fmt::format(
          "{}: \"{}\" is neither user=NAME nor password-file=PATH (a broker URI goes first, "
          "then the prefix)",
          where, field));
    }
  }
  if (controller.login && controller.login->username.empty()) {
    throw InputError(fmt::format("{}: a password file without user=NAME", where));
  }
  return controller;
}

}  // namespace

std::vector<Controller> parseFleet(const std::string& text, const std::string& file,
                                   const std::string& defaultBroker) {
  std::vector<Controller> controllers;
  std::set<std::pair<std::string, std::string>> seen;
  std::istringstream lines(text);
  std::size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::vector<std::string> fields = fieldsOf(line);
    if (fields.empty() || fields[0][0] == '#') {
      continue;
    }
    const std::string where = fmt::format("{}:{}", file, number);
    Controller controller = controllerOfLine(fields, where, defaultBroker);
    if (!seen.insert({controller.broker, controller.prefix}).second) {
      throw InputError(fmt::format("{}: the controller {} on {} is given twice", where,
                                   controller.prefix, controller.broker));
    }
    controllers.push_back(std::move(controller));
  }
  if (controllers.empty()) {
    throw InputError(fmt::format("{}: no controller in the file", file));
  }
  return controllers;
}

std::vector<Controller> controllersOf(const PushOptions& options, const char* environmentBroker) {
  const std::vector<std::string> brokers = brokerAddresses(options, environmentBroker);
  std::vector<Controller> controllers;
  if (options.fleetFile) {
    controllers = parseFleet(readInput(*options.fleetFile), *options.fleetFile, brokers.front());
  } else {
    for (const std::string& broker : brokers) {
      controllers.push_back({broker, options.prefix.value_or(""), std::nullopt, {}});
    }
  }
  labelControllers(controllers);
  return controllers;
}

}  // namespace talvoro::push
