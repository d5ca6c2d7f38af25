#pragma once
// The service's own memory, an SQLite database in its state directory: per
// rule the text as received and the file installed for it, the IO structure,
// and what the last write changed until the rule directory is known to agree.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite_database.h"

namespace talvoro {

// How a re-translation of a rule against a new IO structure ended.
enum class Retranslation {
  Retranslated,  // a new file was put in place
  Unchanged,     // the installed file already was the translation
  Failed,        // the text does not translate; the installed file stays
  Skipped,       // the rule had no installed file to replace
};

// A rule as the store keeps it.
struct StoredRule {
  std::string name;
  std::string text;  // as received; left empty by listRules()
  std::uint32_t crc = 0;
  long long timestamp = 0;  // as judged on arrival: the timestamp line, or the time
  std::string structure;    // hash of the IO structure its file was translated against
  std::string file;         // the installed file's name
  // The last re-translation that took the rule: the IO structure it was for
  // (empty: none yet), how it ended, and why for Failed and Skipped.
  std::string pass;
  std::optional<Retranslation> passOutcome;
  std::string reason;
};

// One rule's change in a write.
struct StoreChange {
  enum class Kind {
    Install,    // `rule` (text, CRC, timestamp, structure, file) is installed now
    Remove,     // the rule `rule.name` has no installed file any more
    Retranslate,  // a re-translation of `rule.name` against `rule.structure`
                  // ended with `outcome`; `rule.file` is the installed file
                  // after it (Retranslated, Unchanged), `rule.reason` says why
                  // not (Failed, Skipped)
  };
  Kind kind;
  StoredRule rule;
  Retranslation outcome = Retranslation::Retranslated;
};

struct StoredStructure {
  std::string hash;
  std::string text;
};

// What one re-translation pass has done so far.
struct RetranslationCounts {
  std::size_t retranslated = 0;
  std::size_t failed = 0;
  std::size_t awaiting = 0;  // rules it has yet to take
};

// Whether the rule directory holds installed file `fileName`.
using FilePresent = std::function<bool(const std::string& fileName)>;

// Every write is one transaction that is durable once it returns (WAL,
// synchronous=FULL). A write keeps the changed rules as they were before it
// until settle() has compared them with the rule directory, so that a write
// whose files never arrived (a failed replacement, a power cut before the
// directory was synced) is taken back: the store never names a file that its
// write did not put in place. Failures throw sqlite::Error (corrupt() when the
// file has gone bad) or sqlite::NewerSchema.
class StateStore {
 public:
  // How the store was found on opening.
  struct Opening {
    bool created = false;     // there was none, or only a broken one
    std::string setAside;     // where a broken store was moved; empty if none
    std::string setAsideWhy;  // what was wrong with it
  };

  static constexpr const char* kFileName = "state.db";

  // Opens the store in `directory` (ending with a slash), creating it when
  // missing. A file that is no database, or fails the integrity check, is
  // moved aside (".corrupt-<UTC time>" appended) and a new store is created.
  explicit StateStore(const std::string& directory);
  ~StateStore();
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  const Opening& opening() const { return opening_; }
  const std::string& path() const { return path_; }

  // The IO structure kept last; nothing before the first.
  std::optional<StoredStructure> structure();
  // Its hash alone; empty before the first.
  std::string structureHash();
  void keepStructure(std::string_view hash, std::string_view text);

  std::optional<StoredRule> rule(const std::string& name);
  std::size_t ruleCount();
  // Rules in name order (bytewise) after `after`, at most `limit`, without
  // their texts: one page of an inventory.
  std::vector<StoredRule> listRules(const std::string& after, std::size_t limit);

  // Records `changes` (one per rule name) in one transaction. What an earlier
  // write left unsettled is settled first, with `present`.
  void record(const std::vector<StoreChange>& changes, const FilePresent& present);

  // Compares the rules of the last write with the rule directory and takes
  // back each change whose file is not there (a rule removed whose file is
  // still there, likewise): the rule is as it was before. Writes only when
  // something is taken back. Returns the names taken back.
  std::vector<std::string> settle(const FilePresent& present);
  // Whether the last write was settled: a record() then needs no `present`.
  bool settled() const { return settled_; }

  // Rules not yet translated against IO structure `structure` and not yet
  // taken by its re-translation, in name order after `after`, at most `limit`.
  std::vector<StoredRule> awaitingRetranslation(const std::string& structure,
                                                const std::string& after, std::size_t limit);
  RetranslationCounts retranslationCounts(const std::string& structure);

 private:
  struct Statements;

  void open();
  void openOrSetAside();
  std::string setAside();
  void configure();
  std::vector<std::string> unsettled(const FilePresent& present);
  void takeBack(const std::vector<std::string>& names);
  void apply(const StoreChange& change);

  std::string directory_;
  std::string path_;
  Opening opening_;
  std::unique_ptr<sqlite::Database> db_;
  std::unique_ptr<Statements> statements_;
  // The last write was compared with the directory: what it kept of the
  // rules before it is only waiting to be dropped.
  bool settled_ = false;
};

}  // namespace talvoro
