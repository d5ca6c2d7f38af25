#include "report.h"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace talvoro::push {
namespace {

using OrderedJson = nlohmann::ordered_json;

// Names and reasons are arbitrary bytes; invalid UTF-8 becomes U+FFFD.
std::string dump(const OrderedJson& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int severity(int status) {
  static const int kOrder[] = {0, kInstalledWithWarning, 1, 4, 3, 5};
  const auto* found = std::find(std::begin(kOrder), std::end(kOrder), status);
  return found == std::end(kOrder) ? 5 : static_cast<int>(found - std::begin(kOrder));
}

}  // namespace

int worstStatus(const std::vector<int>& statuses) {
  int worst = 0;
  for (const int status : statuses) {
    if (severity(status) > severity(worst)) {
      worst = status;
    }
  }
  return worst;
}

int exitStatus(const std::vector<RunEnd>& ends, int signal) {
  std::vector<int> statuses;
  for (const RunEnd& end : ends) {
    if (end.interrupted && signal != 0) {
      return 128 + signal;
    }
    statuses.push_back(end.status);
  }
  return worstStatus(statuses);
}

std::string textLine(const ItemLine& item, bool withController) {
  std::string line = withController ? item.controller->label + ": " : std::string();
  line += item.configuration ? "configuration" : item.name;
  if (item.outcome == nullptr) {
    line += ": " + kNoResult;
    return item.noResultReason.empty() ? line : line + ": " + item.noResultReason;
  }
  line += ": " + item.outcome->outcome;
  if (!item.outcome->reason.empty()) {
    line += ": " + item.outcome->reason;
  }
  if (!item.outcome->warning.empty()) {
    line += " (warning: " + item.outcome->warning + ")";
  }
  return line;
}

namespace {

OrderedJson controllerFields(const Controller& controller) {
  OrderedJson line;
  line["broker"] = controller.broker;
  if (!controller.prefix.empty()) {
    line["controller"] = controller.prefix;
  }
  return line;
}

}  // namespace

std::string jsonLine(const ItemLine& item) {
  OrderedJson line = controllerFields(*item.controller);
  line[item.configuration ? "configuration" : "name"] = item.name;
  line["outcome"] = item.outcome != nullptr ? item.outcome->outcome : kNoResult;
  if (item.crc) {
    line["crc"] = *item.crc;
  }
  if (item.outcome == nullptr && !item.noResultReason.empty()) {
    line["reason"] = item.noResultReason;
  }
  if (item.outcome != nullptr && !item.outcome->reason.empty()) {
    line["reason"] = item.outcome->reason;
  }
  if (item.outcome != nullptr && !item.outcome->warning.empty()) {
    line["warning"] = item.outcome->warning;
  }
  return dump(line);
}

std::string installedTextLine(const Controller& controller, const InstalledRule& rule,
                              bool withController) {
  std::string line = withController ? controller.label + ": " : std::string();
  line += fmt::format("{}: {}, crc {}, timestamp {}, file {}", rule.name, rule.state, rule.crc,
                      rule.timestamp, rule.file.empty() ? "none" : rule.file);
  return rule.reason.empty() ? line : line + ": " + rule.reason;
}

std::string installedJsonLine(const Controller& controller, const InstalledRule& rule) {
  OrderedJson line = controllerFields(controller);
  line["name"] = rule.name;
  line["state"] = rule.state;
  line["crc"] = rule.crc;
  line["timestamp"] = rule.timestamp;
  line["file"] = rule.file;
  if (!rule.reason.empty()) {
    line["reason"] = rule.reason;
  }
  return dump(line);
}

std::string controllerJsonSummaryLine(const Controller& controller,
                                      const std::map<std::string, std::size_t>& counts,
                                      int exitStatus) {
  OrderedJson line = controllerFields(controller);
  line["summary"] = OrderedJson::object();
  for (const auto& [outcome, count] : counts) {
    line["summary"][outcome] = count;
  }
  line["exit"] = exitStatus;
  return dump(line);
}

std::string jsonSummaryLine(const std::map<std::string, std::size_t>& counts, int exitStatus) {
  OrderedJson line;
  line["summary"] = OrderedJson::object();
  for (const auto& [outcome, count] : counts) {
    line["summary"][outcome] = count;
  }
  line["exit"] = exitStatus;
  return dump(line);
}

Reporter::Reporter(std::ostream& out, Format format, bool withController)
    : out_(out), format_(format), withController_(withController) {}

void Reporter::item(const ItemLine& item) {
  count(*item.controller, item.outcome != nullptr ? item.outcome->outcome : kNoResult);
  print(format_ == Format::Json ? jsonLine(item) : textLine(item, withController_));
}

void Reporter::installed(const Controller& controller, const InstalledRule& rule) {
  count(controller, rule.state);
  print(format_ == Format::Json ? installedJsonLine(controller, rule)
                                : installedTextLine(controller, rule, withController_));
}

void Reporter::count(const Controller& controller, const std::string& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[outcome];
  ++controllerCounts_[&controller][outcome];
}

void Reporter::summary(const Controller& controller, const std::string& text) {
  if (format_ == Format::Text) {
    print(withController_ ? controller.label + ": " + text : text);
  }
}

void Reporter::controllerDone(const Controller& controller, int exitStatus) {
  if (format_ != Format::Json || !withController_) {
    return;
  }
  std::map<std::string, std::size_t> counts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    counts = controllerCounts_[&controller];
  }
  print(controllerJsonSummaryLine(controller, counts, exitStatus));
}

void Reporter::finish(int exitStatus) {
  if (format_ == Format::Json) {
    std::map<std::string, std::size_t> counts;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      counts = counts_;
    }
    print(jsonSummaryLine(counts, exitStatus));
  }
}

void Reporter::print(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << line << '\n' << std::flush;
}

}  // namespace talvoro::push
