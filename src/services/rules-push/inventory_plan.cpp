#include "inventory_plan.h"

#include <fmt/format.h>

#include <set>
#include <unordered_map>

#include "status_check.h"
#include "talvoro/rule_crc.h"

namespace talvoro::push {
namespace {

const std::string kUnknown = "unknown";

// By name, the entry that holds the service's stored text where there is
// one: a rule whose file is missing while another file of it is installed
// is listed twice, missing and unknown.
std::unordered_map<std::string, const InstalledRule*> byName(const Inventory& inventory) {
  std::unordered_map<std::string, const InstalledRule*> rules;
  for (const InstalledRule& rule : inventory.rules) {
    const InstalledRule*& kept = rules[rule.name];
    if (kept == nullptr || kept->state == kUnknown) {
      kept = &rule;
    }
  }
  return rules;
}

Outcome verdictOn(std::uint32_t crc, const InstalledRule* installed) {
  if (installed == nullptr) {
    return {kWouldBeSent, "not installed"};
  }
  if (installed->state == kUnknown) {
    return {kWouldBeSent, "only a file the service did not install (unknown)"};
  }
  if (installed->crc != crc) {
    return {kWouldBeSent, fmt::format("installed with the CRC {}", installed->crc)};
  }
  if (installed->state == "current") {
    return {kInPlace, {}};
  }
  if (installed->state == kStale) {
    return {kStale, installed->reason.empty() ? "translated against an earlier IO structure"
                                              : installed->reason};
  }
  if (installed->state == "modified") {
    return {kWouldBeSent, "the installed file was changed by somebody else"};
  }
  if (installed->state == "missing") {
    return {kWouldBeSent, "the installed file is gone"};
  }
  return {kWouldBeSent, fmt::format("the service reports it as \"{}\"", installed->state)};
}

bool removable(const InstalledRule& rule, Pruning pruning) {
  return pruning.prune && (rule.state != kUnknown || pruning.unknown);
}

Outcome verdictOnExtra(const InstalledRule& rule, Pruning pruning) {
  if (removable(rule, pruning)) {
    return {kWouldBeRemoved, rule.state == kUnknown ? "a file the service did not install" : ""};
  }
  if (rule.state == kUnknown) {
    return {kNotInTheSet,
            pruning.prune ? "a file the service did not install: --prune-unknown removes it"
                          : "a file the service did not install"};
  }
  return {kNotInTheSet, {}};
}

}  // namespace

std::vector<PlanLine> planFromInventory(const std::vector<RuleFile>& set,
                                        const Inventory& inventory, Pruning pruning) {
  const auto installed = byName(inventory);
  std::vector<PlanLine> lines;
  std::set<std::string> inSet;
  for (const RuleFile& rule : set) {
    inSet.insert(rule.name);
    const auto found = installed.find(rule.name);
    const std::uint32_t crc = protocol::ruleCrc(rule.text);
    lines.push_back(
        {rule.name, crc, verdictOn(crc, found == installed.end() ? nullptr : found->second)});
  }
  for (const InstalledRule& rule : inventory.rules) {
    if (inSet.count(rule.name) == 0) {
      lines.push_back({rule.name,
                       rule.state == kUnknown ? std::nullopt : std::optional(rule.crc),
                       verdictOnExtra(rule, pruning)});
    }
  }
  return lines;
}

std::vector<std::string> rulesToPrune(const std::vector<RuleFile>& set,
                                      const Inventory& inventory, Pruning pruning) {
  std::set<std::string> inSet;
  for (const RuleFile& rule : set) {
    inSet.insert(rule.name);
  }
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const InstalledRule& rule : inventory.rules) {
    if (inSet.count(rule.name) == 0 && removable(rule, pruning) &&
        taken.insert(rule.name).second) {
      names.push_back(rule.name);
    }
  }
  return names;
}

int planExitStatus(const std::map<std::string, std::size_t>& counts) {
  if (counts.count(kNoResult) != 0) {
    return 3;
  }
  for (const std::string& change : {kWouldBeSent, kStale, kWouldBeRemoved}) {
    if (counts.count(change) != 0) {
      return 4;
    }
  }
  return 0;
}

}  // namespace talvoro::push
