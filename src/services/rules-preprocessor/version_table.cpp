#include "version_table.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <tuple>

namespace talvoro {
namespace {

constexpr std::size_t kMaxDigits = 20;  // of a 64-bit number

}  // namespace

bool VersionTable::encode(const std::string& hash, std::uint64_t& number, std::uint8_t& width) {
  if (hash.empty() || hash.size() > kMaxDigits) {
    return false;
  }
  const auto [end, error] = std::from_chars(hash.data(), hash.data() + hash.size(), number);
  width = static_cast<std::uint8_t>(hash.size());
  return error == std::errc() && end == hash.data() + hash.size();
}

std::string VersionTable::decode(const Entry& entry) {
  return fmt::format("{:0{}}", entry.number, entry.width);
}

std::vector<VersionTable::Entry>::iterator VersionTable::first(const std::string& rule) {
  return std::lower_bound(entries_.begin(), entries_.end(), rule,
                          [](const Entry& entry, const std::string& r) { return entry.rule < r; });
}

bool VersionTable::hasLive(const std::string& rule) {
  for (auto it = first(rule); it != entries_.end() && it->rule == rule; ++it) {
    if (it->live) {
      return true;
    }
  }
  return std::any_of(odd_.begin(), odd_.end(), [&](const Odd& odd) { return odd.rule == rule; });
}

void VersionTable::reset(std::vector<Named> versions) {
  entries_.clear();
  odd_.clear();
  erased_ = 0;
  std::vector<Entry> entries;
  entries.reserve(versions.size());
  for (Named& version : versions) {
    Entry entry{std::move(version.rule), 0, 0, version.kind, true};
    if (encode(version.hash, entry.number, entry.width)) {
      entries.push_back(std::move(entry));
    } else {
      odd_.push_back({std::move(entry.rule), std::move(version.hash), version.kind});
    }
  }
  const auto key = [](const Entry& e) { return std::tie(e.rule, e.number, e.width); };
  std::sort(entries.begin(), entries.end(),
            [&](const Entry& a, const Entry& b) { return key(a) < key(b); });
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [&](const Entry& a, const Entry& b) { return key(a) == key(b); }),
                entries.end());
  entries_ = std::move(entries);
  entries_.shrink_to_fit();
  rules_ = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    rules_ += i == 0 || entries_[i].rule != entries_[i - 1].rule ? 1 : 0;
  }
  for (std::size_t i = 0; i < odd_.size(); ++i) {
    const std::string& rule = odd_[i].rule;
    const bool counted =
        (first(rule) != entries_.end() && first(rule)->rule == rule) ||
        std::any_of(odd_.begin(), odd_.begin() + static_cast<std::ptrdiff_t>(i),
                    [&](const Odd& earlier) { return earlier.rule == rule; });
    rules_ += counted ? 0 : 1;
  }
}

void VersionTable::put(const std::string& rule, const std::string& hash, EntryKind kind) {
  const bool had = hasLive(rule);
  Entry entry{rule, 0, 0, kind, true};
  if (!encode(hash, entry.number, entry.width)) {
    const auto same = std::find_if(odd_.begin(), odd_.end(), [&](const Odd& odd) {
      return odd.rule == rule && odd.hash == hash;
    });
    if (same == odd_.end()) {
      odd_.push_back({rule, hash, kind});
    } else {
      same->kind = kind;
    }
    rules_ += had ? 0 : 1;
    return;
  }
  auto it = first(rule);
  auto end = it;
  while (end != entries_.end() && end->rule == rule) {
    ++end;
  }
  const auto same = std::find_if(it, end, [&](const Entry& e) {
    return e.number == entry.number && e.width == entry.width;
  });
  if (same != end) {
    erased_ -= same->live ? 0 : 1;
    same->kind = kind;
    same->live = true;
  } else if (end - it == 1 && !it->live) {
    // The rule's one version was replaced: the new one takes its place.
    *it = std::move(entry);
    --erased_;
  } else {
    const auto at = std::find_if(it, end, [&](const Entry& e) {
      return std::tie(e.number, e.width) > std::tie(entry.number, entry.width);
    });
    insert(at, std::move(entry));
  }
  rules_ += had ? 0 : 1;
}

void VersionTable::insert(std::vector<Entry>::iterator at, Entry entry) {
  if (entries_.size() == entries_.capacity()) {
    // Grown by an eighth, not doubled: the table is most of the idle
    // service's own memory.
    const std::size_t offset = static_cast<std::size_t>(at - entries_.begin());
    entries_.reserve(entries_.size() + entries_.size() / 8 + 16);
    at = entries_.begin() + static_cast<std::ptrdiff_t>(offset);
  }
  entries_.insert(at, std::move(entry));
}

void VersionTable::erase(const std::string& rule, const std::string& hash) {
  const bool had = hasLive(rule);
  std::uint64_t number = 0;
  std::uint8_t width = 0;
  if (!encode(hash, number, width)) {
    odd_.erase(std::remove_if(odd_.begin(), odd_.end(),
                              [&](const Odd& odd) { return odd.rule == rule && odd.hash == hash; }),
               odd_.end());
  } else {
    for (auto it = first(rule); it != entries_.end() && it->rule == rule; ++it) {
      if (it->live && it->number == number && it->width == width) {
        it->live = false;
        ++erased_;
        break;
      }
    }
  }
  rules_ -= had && !hasLive(rule) ? 1 : 0;
  compactIfSparse();
}

// Erased entries wait for the rule's next version; when many rules went for
// good, the array is compacted.
void VersionTable::compactIfSparse() {
  if (erased_ <= entries_.size() / 4 + 64) {
    return;
  }
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [](const Entry& e) { return !e.live; }),
                 entries_.end());
  entries_.shrink_to_fit();
  erased_ = 0;
}

}  // namespace talvoro
