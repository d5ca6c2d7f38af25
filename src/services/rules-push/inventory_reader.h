#pragma once
// The inventory of one controller as rules-push reads it: the pages that
// answer one request, put together, and what is wrong with them.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace talvoro::push {

// One rule (or unknown file) the service lists.
struct InstalledRule {
  std::string name;
  std::uint32_t crc = 0;
  long long timestamp = 0;
  std::string file;
  std::string state;  // current, stale, modified, missing, unknown
  std::string reason;
};

struct Inventory {
  std::string structure;  // the hash of the service's IO structure
  std::vector<InstalledRule> rules;
};

// A new request id for each request: the process, random bits and a count,
// well within the 64 bytes the service takes.
std::string newInventoryRequestId();

// Collects the answer to request `request` from the pages that come.
class InventoryReader {
 public:
  explicit InventoryReader(std::string request) : request_(std::move(request)) {}

  const std::string& request() const { return request_; }
  // Takes one page; pages of other requests and payloads that are no page
  // are ignored.
  void take(const std::string& payload);
  // Every page came.
  bool complete() const { return pages_ != 0 && received_.size() == pages_; }
  // A page came twice, or with another page count or IO structure than the
  // first: more than one service answers on these topics.
  bool answeredTwice() const { return answeredTwice_; }
  // The service refused the request (its "error").
  const std::optional<std::string>& error() const { return error_; }
  const Inventory& inventory() const { return inventory_; }

 private:
  std::string request_;
  std::size_t pages_ = 0;
  std::set<std::size_t> received_;
  bool answeredTwice_ = false;
  std::optional<std::string> error_;
  Inventory inventory_;
};

}  // namespace talvoro::push
