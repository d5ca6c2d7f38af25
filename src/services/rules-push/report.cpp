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

std::string textLine(const ItemLine& item, bool withBroker) {
  std::string line = withBroker ? item.broker + ": " : std::string();
  line += item.configuration ? "configuration" : item.name;
  if (item.outcome == nullptr) {
    return line + ": " + kNoResult;
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

std::string jsonLine(const ItemLine& item) {
  OrderedJson line;
  line["broker"] = item.broker;
  line[item.configuration ? "configuration" : "name"] = item.name;
  line["outcome"] = item.outcome != nullptr ? item.outcome->outcome : kNoResult;
  if (item.crc) {
    line["crc"] = *item.crc;
  }
  if (item.outcome != nullptr && !item.outcome->reason.empty()) {
    line["reason"] = item.outcome->reason;
  }
  if (item.outcome != nullptr && !item.outcome->warning.empty()) {
    line["warning"] = item.outcome->warning;
  }
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

Reporter::Reporter(std::ostream& out, Format format, bool withBroker)
    : out_(out), format_(format), withBroker_(withBroker) {}

void Reporter::item(const ItemLine& item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[item.outcome != nullptr ? item.outcome->outcome : kNoResult];
  }
  print(format_ == Format::Json ? jsonLine(item) : textLine(item, withBroker_));
}

void Reporter::summary(const std::string& broker, const std::string& text) {
  if (format_ == Format::Text) {
    print(withBroker_ ? broker + ": " + text : text);
  }
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
