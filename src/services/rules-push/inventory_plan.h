#pragma once
// What a deployment would change on one controller, judged by its
// inventory: the verdict on each rule of the set, on each rule installed
// and not in the set, and which of those --prune removes.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "deployment.h"
#include "inventory_reader.h"
#include "push_options.h"

namespace talvoro::push {

inline const std::string kStale = "stale";
inline const std::string kNotInTheSet = "not in the set";
inline const std::string kWouldBeRemoved = "would be removed";

struct Pruning {
  bool prune = false;    // rules installed and not in the set are removed
  bool unknown = false;  // and so are files without a stored text
};

// One line of the plan.
struct PlanLine {
  std::string name;
  std::optional<std::uint32_t> crc;  // the set's text, or the installed one
  Outcome verdict;
};

// The rules of `set` in their order, then the installed rules that are not
// in it, in the inventory's order.
std::vector<PlanLine> planFromInventory(const std::vector<RuleFile>& set,
                                        const Inventory& inventory, Pruning pruning);

// The names --prune clears: installed, not in `set`, and known to the
// service (any file with `pruning.unknown`).
std::vector<std::string> rulesToPrune(const std::vector<RuleFile>& set,
                                      const Inventory& inventory, Pruning pruning);

// 0 when nothing would change, 4 otherwise; `counts` by verdict.
int planExitStatus(const std::map<std::string, std::size_t>& counts);

}  // namespace talvoro::push
