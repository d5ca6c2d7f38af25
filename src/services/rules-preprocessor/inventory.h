#pragma once
// What is installed, rule by rule: the state store held against the rule
// directory (current, stale, modified, missing, unknown), for the start-up
// check and for the pages that answer an inventory request.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "publication.h"
#include "rule_directory.h"
#include "state_store.h"

namespace talvoro {

struct InventoryEntry {
  enum class State { Current, Stale, Modified, Missing, Unknown };
  std::string name;
  std::uint32_t crc = 0;
  long long timestamp = 0;
  std::string file;
  State state = State::Current;
  std::string reason;
};

const char* inventoryStateName(InventoryEntry::State state);

// Every rule of the store and every installed file the store does not name,
// in name order. `structureHash` names the IO structure in use. A rule whose
// file is missing while another file of it is installed appears twice:
// missing, and that file unknown.
std::vector<InventoryEntry> takeInventory(StateStore& store, const RuleDirectory& directory,
                                          const std::string& structureHash);

// How many entries are in each state.
std::map<InventoryEntry::State, std::size_t> countStates(
    const std::vector<InventoryEntry>& entries);

// The answer to an inventory request with payload `request`: pages of at
// most protocol::kInventoryPageRules rules, or, for a request id that is too
// long, one page with an error and no rules.
std::vector<Publication> inventoryPages(std::string_view request,
                                        const std::vector<InventoryEntry>& entries,
                                        const std::string& structureHash);

// Whether `request` is acceptable; inventoryPages() answers it either way.
bool validInventoryRequest(std::string_view request);

}  // namespace talvoro
