#include "inventory_reader.h"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <random>

namespace talvoro::push {
namespace {

using Json = nlohmann::json;

template <typename T>
T fieldOr(const Json& object, const char* field, T fallback) {
  const auto found = object.find(field);
  if (found == object.end()) {
    return fallback;
  }
  try {
    return found->get<T>();
  } catch (const Json::exception&) {
    return fallback;
  }
}

std::optional<InstalledRule> installedRule(const Json& entry) {
  if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
    return std::nullopt;
  }
  InstalledRule rule;
  rule.name = entry["name"].get<std::string>();
  rule.crc = fieldOr<std::uint32_t>(entry, "crc", 0);
  rule.timestamp = fieldOr<long long>(entry, "timestamp", 0);
  rule.file = fieldOr<std::string>(entry, "file", "");
  rule.state = fieldOr<std::string>(entry, "state", "");
  rule.reason = fieldOr<std::string>(entry, "reason", "");
  return rule;
}

}  // namespace

std::string newInventoryRequestId() {
  static std::atomic<unsigned> count{0};
  static const std::uint64_t bits = [] {
    std::random_device random;
    return (std::uint64_t{random()} << 32) | random();
  }();
  return fmt::format("rules-push-{}-{:016x}-{}", getpid(), bits, ++count);
}

void InventoryReader::take(const std::string& payload) {
  const Json page = Json::parse(payload, nullptr, false);
  if (!page.is_object() || fieldOr<std::string>(page, "request", "") != request_) {
    return;
  }
  const std::size_t number = fieldOr<std::size_t>(page, "page", 0);
  const std::size_t pages = fieldOr<std::size_t>(page, "pages", 0);
  const std::string structure = fieldOr<std::string>(page, "structure", "");
  if (number == 0 || pages == 0 || number > pages) {
    return;
  }
  if (pages_ != 0 && (pages != pages_ || structure != inventory_.structure)) {
    answeredTwice_ = true;
    return;
  }
  if (!received_.insert(number).second) {
    answeredTwice_ = true;
    return;
  }
  pages_ = pages;
  inventory_.structure = structure;
  if (page.contains("error")) {
    error_ = fieldOr<std::string>(page, "error", "the request was refused");
  }
  for (const Json& entry : fieldOr<Json>(page, "rules", Json::array())) {
    if (std::optional<InstalledRule> rule = installedRule(entry)) {
      inventory_.rules.push_back(std::move(*rule));
    }
  }
}

}  // namespace talvoro::push
