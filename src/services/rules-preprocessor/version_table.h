#pragma once
// The installed versions of every rule, compactly: one small entry per file
// named like an installed version, sorted by rule name.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace talvoro {

// What a directory entry named like an installed version was found to be.
enum class EntryKind : unsigned char { Unknown, File, Link, Other };

// 10,000 rules cost about half a megabyte: the hash is kept as a number (its
// digits follow from it), the entries share one array, and a rule's version
// replaced by another takes the old one's place.
class VersionTable {
 public:
  struct Named {
    std::string rule;
    std::string hash;
    EntryKind kind;
  };

  // Replaces the whole table.
  void reset(std::vector<Named> versions);
  // Adds version `hash` of `rule`, or sets the kind of the one there.
  void put(const std::string& rule, const std::string& hash, EntryKind kind);
  void erase(const std::string& rule, const std::string& hash);

  // Calls visit(hash, kind) for each version of `rule`, in hash order; the
  // visitor may change the kind.
  template <typename Visit>
  void forEachOf(const std::string& rule, Visit visit);

  // How many rules have a version.
  std::size_t rules() const { return rules_; }

 private:
  struct Entry {
    std::string rule;
    std::uint64_t number;  // the hash's digits
    std::uint8_t width;    // how many digits the name writes, leading zeros included
    EntryKind kind;
    bool live;             // false: erased, its place free for the rule's next version
  };
  // A hash whose digits no 64-bit number holds (not one the service writes).
  struct Odd {
    std::string rule;
    std::string hash;
    EntryKind kind;
  };

  static bool encode(const std::string& hash, std::uint64_t& number, std::uint8_t& width);
  static std::string decode(const Entry& entry);
  std::vector<Entry>::iterator first(const std::string& rule);
  bool hasLive(const std::string& rule);
  void insert(std::vector<Entry>::iterator at, Entry entry);
  void compactIfSparse();

  std::vector<Entry> entries_;
  std::vector<Odd> odd_;
  std::size_t rules_ = 0;
  std::size_t erased_ = 0;
};

template <typename Visit>
void VersionTable::forEachOf(const std::string& rule, Visit visit) {
  for (auto it = first(rule); it != entries_.end() && it->rule == rule; ++it) {
    if (it->live) {
      visit(decode(*it), it->kind);
    }
  }
  for (Odd& odd : odd_) {
    if (odd.rule == rule) {
      visit(odd.hash, odd.kind);
    }
  }
}

}  // namespace talvoro
