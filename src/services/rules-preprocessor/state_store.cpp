#include "state_store.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "talvoro/files/file_descriptor.h"
#include "talvoro/files/file_error.h"

namespace talvoro {
namespace {

// The rules the service installed, the IO structure, and the rules of the
// last write as they were before it. Every column of a rule that a write
// changes is in `prior_rules` too.
const char* const kSchemaVersion1 = R"(
CREATE TABLE rules (
  name TEXT PRIMARY KEY NOT NULL,
  text BLOB NOT NULL,
  crc INTEGER NOT NULL CHECK (crc BETWEEN 0 AND 4294967295),
  timestamp INTEGER NOT NULL,
  structure TEXT NOT NULL,
  file TEXT NOT NULL,
  pass TEXT,
  pass_outcome TEXT CHECK (pass_outcome IN ('retranslated', 'unchanged', 'failed', 'skipped')),
  reason TEXT
) STRICT;
CREATE TABLE structure (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  hash TEXT NOT NULL,
  text BLOB NOT NULL
) STRICT;
CREATE TABLE prior_rules (
  name TEXT PRIMARY KEY NOT NULL,
  existed INTEGER NOT NULL CHECK (existed IN (0, 1)),
  text BLOB,
  crc INTEGER,
  timestamp INTEGER,
  structure TEXT,
  file TEXT,
  pass TEXT,
  pass_outcome TEXT,
  reason TEXT
) STRICT;
)";

const std::vector<sqlite::Migration>& migrations() {
  static const std::vector<sqlite::Migration> steps{
      [](sqlite::Database& db) { db.execute(kSchemaVersion1); },
  };
  return steps;
}

// A committed WAL is truncated back to this after a checkpoint, so that one
// large IO structure does not keep its size on disk.
constexpr long long kJournalSizeLimit = 4 * 1024 * 1024;

const char* passOutcomeName(Retranslation outcome) {
  switch (outcome) {
    case Retranslation::Retranslated: return "retranslated";
    case Retranslation::Unchanged: return "unchanged";
    case Retranslation::Failed: return "failed";
    case Retranslation::Skipped: return "skipped";
  }
  return "failed";
}

std::optional<Retranslation> passOutcomeOf(const std::string& name) {
  for (const Retranslation outcome : {Retranslation::Retranslated, Retranslation::Unchanged,
                                      Retranslation::Failed, Retranslation::Skipped}) {
    if (name == passOutcomeName(outcome)) {
      return outcome;
    }
  }
  return std::nullopt;
}

const char* const kRuleColumns =
    "name, text, crc, timestamp, structure, file, pass, pass_outcome, reason";
const char* const kListedColumns =
    "name, '', crc, timestamp, structure, file, pass, pass_outcome, reason";

StoredRule ruleOf(const sqlite::Statement::Use& row) {
  StoredRule rule;
  rule.name = row.text(0);
  rule.text = row.text(1);
  rule.crc = static_cast<std::uint32_t>(row.integer(2));
  rule.timestamp = row.integer(3);
  rule.structure = row.text(4);
  rule.file = row.text(5);
  rule.pass = row.text(6);
  rule.passOutcome = passOutcomeOf(row.text(7));
  rule.reason = row.text(8);
  return rule;
}

bool fileExists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

void syncDirectory(const std::string& directory) {
  files::FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid() || ::fsync(fd.get()) != 0) {
    throw sqlite::Error(fmt::format("syncing the directory {}: {}", directory,
                                    files::systemErrorText(errno)),
                        SQLITE_IOERR);
  }
}

}  // namespace

struct StateStore::Statements {
  explicit Statements(sqlite::Database& db)
      : selectRule(db, fmt::format("SELECT {} FROM rules WHERE name = ?1", kRuleColumns)),
        listRules(db, fmt::format("SELECT {} FROM rules WHERE name > ?1 ORDER BY name LIMIT ?2",
                                  kListedColumns)),
        countRules(db, "SELECT count(*) FROM rules"),
        selectStructure(db, "SELECT hash, text FROM structure"),
        selectStructureHash(db, "SELECT hash FROM structure"),
        keepStructure(db,
                      "INSERT INTO structure (id, hash, text) VALUES (1, ?1, ?2) "
                      "ON CONFLICT (id) DO UPDATE SET hash = excluded.hash, text = excluded.text"),
        installRule(db,
                    "INSERT INTO rules (name, text, crc, timestamp, structure, file) "
                    "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (name) DO UPDATE SET "
                    "text = excluded.text, crc = excluded.crc, timestamp = excluded.timestamp, "
                    "structure = excluded.structure, file = excluded.file, reason = NULL"),
        removeRule(db, "DELETE FROM rules WHERE name = ?1"),
        translatedAgain(db,
                        "UPDATE rules SET structure = ?2, file = ?3, pass = ?2, "
                        "pass_outcome = ?4, reason = NULL WHERE name = ?1"),
        notTranslatedAgain(db,
                           "UPDATE rules SET pass = ?2, pass_outcome = ?3, reason = ?4 "
                           "WHERE name = ?1"),
        keepPrior(db,
                  "INSERT OR IGNORE INTO prior_rules (name, existed, text, crc, timestamp, "
                  "structure, file, pass, pass_outcome, reason) "
                  "SELECT ?1, r.name IS NOT NULL, r.text, r.crc, r.timestamp, r.structure, "
                  "r.file, r.pass, r.pass_outcome, r.reason "
                  "FROM (SELECT 1) LEFT JOIN rules AS r ON r.name = ?1"),
        comparePrior(db,
                     "SELECT p.name, p.existed, p.file, r.file FROM prior_rules AS p "
                     "LEFT JOIN rules AS r ON r.name = p.name"),
        restorePrior(db,
                     fmt::format("INSERT OR REPLACE INTO rules ({0}) SELECT {0} "
                                 "FROM prior_rules WHERE name = ?1 AND existed = 1",
                                 kRuleColumns)),
        removeNew(db,
                  "DELETE FROM rules WHERE name = ?1 AND "
                  "(SELECT existed FROM prior_rules WHERE name = ?1) = 0"),
        anyPrior(db, "SELECT EXISTS (SELECT 1 FROM prior_rules)"),
        dropPrior(db, "DELETE FROM prior_rules"),
        awaiting(db, fmt::format("SELECT {} FROM rules WHERE name > ?1 AND structure != ?2 AND "
                                 "(pass IS NULL OR pass != ?2) ORDER BY name LIMIT ?3",
                                 kRuleColumns)),
        passCounts(db,
                   "SELECT count(*) FILTER (WHERE pass = ?1 AND pass_outcome = 'retranslated'), "
                   "count(*) FILTER (WHERE pass = ?1 AND pass_outcome = 'failed'), "
                   "count(*) FILTER (WHERE structure != ?1 AND (pass IS NULL OR pass != ?1)) "
                   "FROM rules") {}

  sqlite::Statement selectRule, listRules, countRules;
  sqlite::Statement selectStructure, selectStructureHash, keepStructure;
  sqlite::Statement installRule, removeRule, translatedAgain, notTranslatedAgain;
  sqlite::Statement keepPrior, comparePrior, restorePrior, removeNew, anyPrior, dropPrior;
  sqlite::Statement awaiting, passCounts;
};

StateStore::StateStore(const std::string& directory)
    : directory_(directory), path_(directory + kFileName) {
  openOrSetAside();
}

StateStore::~StateStore() = default;

void StateStore::openOrSetAside() {
  opening_.created = !fileExists(path_);
  try {
    open();
  } catch (const sqlite::Error& error) {
    if (!error.corrupt()) {
      throw;
    }
    // Moved while still open: closing it would delete its WAL.
    opening_.setAsideWhy = error.what();
    opening_.setAside = setAside();
    statements_.reset();
    db_.reset();
    opening_.created = true;
    open();
  }
  if (opening_.created) {
    // The new file's name must survive a power cut like its content.
    syncDirectory(directory_);
  }
}

void StateStore::open() {
  db_ = std::make_unique<sqlite::Database>(path_);
  configure();
  const std::string check = db_->queryText("PRAGMA quick_check");
  if (check != "ok") {
    throw sqlite::Error(fmt::format("integrity check of {}: {}", path_, check), SQLITE_CORRUPT);
  }
  sqlite::migrate(*db_, migrations());
  statements_ = std::make_unique<Statements>(*db_);
}

// A committed transaction is in the synced WAL, so it survives a power cut;
// the WAL also lets an operator's sqlite3 shell read while the service writes.
void StateStore::configure() {
  const std::string mode = db_->queryText("PRAGMA journal_mode = WAL");
  if (mode != "wal") {
    throw sqlite::Error(
        fmt::format("{}: the journal mode stays \"{}\" instead of \"wal\"", path_, mode),
        SQLITE_CANTOPEN);
  }
  db_->execute("PRAGMA synchronous = FULL");
  db_->execute(fmt::format("PRAGMA journal_size_limit = {}", kJournalSizeLimit));
}

// Moves a broken store, and its WAL, out of the way under a name that says
// when; the WAL index is rebuilt from the WAL by whoever opens the copy.
std::string StateStore::setAside() {
  std::string aside = fmt::format("{}.corrupt-{}", path_, utcNow());
  for (int n = 2; fileExists(aside); ++n) {
    aside = fmt::format("{}.corrupt-{}-{}", path_, utcNow(), n);
  }
  const auto move = [](const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
      throw sqlite::Error(
          fmt::format("moving {} to {}: {}", from, to, files::systemErrorText(errno)), SQLITE_IOERR);
    }
  };
  move(path_ + "-wal", aside + "-wal");
  move(path_, aside);
  ::unlink((path_ + "-shm").c_str());
  syncDirectory(directory_);
  return aside;
}

std::optional<StoredStructure> StateStore::structure() {
  auto row = statements_->selectStructure.use();
  if (!row.next()) {
    return std::nullopt;
  }
  return StoredStructure{row.text(0), row.text(1)};
}

std::string StateStore::structureHash() {
  auto row = statements_->selectStructureHash.use();
  return row.next() ? row.text(0) : std::string{};
}

void StateStore::keepStructure(std::string_view hash, std::string_view text) {
  sqlite::Transaction transaction(*db_);
  statements_->keepStructure.use().bindText(1, hash).bindBlob(2, text).run();
  transaction.commit();
}

std::optional<StoredRule> StateStore::rule(const std::string& name) {
  auto row = statements_->selectRule.use();
  row.bindText(1, name);
  if (!row.next()) {
    return std::nullopt;
  }
  return ruleOf(row);
}

std::size_t StateStore::ruleCount() {
  auto row = statements_->countRules.use();
  row.next();
  return static_cast<std::size_t>(row.integer(0));
}

std::vector<StoredRule> StateStore::listRules(const std::string& after, std::size_t limit) {
  std::vector<StoredRule> rules;
  auto row = statements_->listRules.use();
  row.bindText(1, after).bindInteger(2, static_cast<long long>(limit));
  while (row.next()) {
    rules.push_back(ruleOf(row));
  }
  return rules;
}

void StateStore::record(const std::vector<StoreChange>& changes, const FilePresent& present) {
  sqlite::Transaction transaction(*db_);
  bool anyPrior = false;
  {
    auto row = statements_->anyPrior.use();
    anyPrior = row.next() && row.integer(0) != 0;
  }
  if (anyPrior) {
    if (!settled_) {
      takeBack(unsettled(present));
    }
    statements_->dropPrior.use().run();
  }
  for (const StoreChange& change : changes) {
    statements_->keepPrior.use().bindText(1, change.rule.name).run();
    apply(change);
  }
  transaction.commit();
  settled_ = false;
}

void StateStore::apply(const StoreChange& change) {
  const StoredRule& rule = change.rule;
  switch (change.kind) {
    case StoreChange::Kind::Install:
      statements_->installRule.use()
          .bindText(1, rule.name)
          .bindBlob(2, rule.text)
          .bindInteger(3, rule.crc)
          .bindInteger(4, rule.timestamp)
          .bindText(5, rule.structure)
          .bindText(6, rule.file)
          .run();
      break;
    case StoreChange::Kind::Remove:
      statements_->removeRule.use().bindText(1, rule.name).run();
      break;
    case StoreChange::Kind::Retranslate:
      if (change.outcome == Retranslation::Retranslated ||
          change.outcome == Retranslation::Unchanged) {
        statements_->translatedAgain.use()
            .bindText(1, rule.name)
            .bindText(2, rule.structure)
            .bindText(3, rule.file)
            .bindText(4, passOutcomeName(change.outcome))
            .run();
      } else {
        statements_->notTranslatedAgain.use()
            .bindText(1, rule.name)
            .bindText(2, rule.structure)
            .bindText(3, passOutcomeName(change.outcome))
            .bindText(4, rule.reason)
            .run();
      }
      break;
  }
}

std::vector<std::string> StateStore::settle(const FilePresent& present) {
  std::vector<std::string> names = unsettled(present);
  if (!names.empty()) {
    sqlite::Transaction transaction(*db_);
    takeBack(names);
    statements_->dropPrior.use().run();
    transaction.commit();
  }
  settled_ = true;
  return names;
}

// The rules of the last write whose change did not reach the directory: a
// file it named is missing, or a file it removed is still there. A change
// that kept the rule's file needs nothing of the directory.
std::vector<std::string> StateStore::unsettled(const FilePresent& present) {
  std::vector<std::string> names;
  auto row = statements_->comparePrior.use();
  while (row.next()) {
    const bool existed = row.integer(1) != 0;
    const std::string priorFile = row.text(2);
    const bool exists = !row.isNull(3);
    const std::string file = row.text(3);
    bool arrived = true;
    if (exists && !(existed && file == priorFile)) {
      arrived = present(file);
    } else if (!exists) {
      arrived = !(existed && present(priorFile));
    }
    if (!arrived) {
      names.push_back(row.text(0));
    }
  }
  return names;
}

// Puts the rules `names` back as they were before the last write; call
// inside a transaction.
void StateStore::takeBack(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    statements_->removeNew.use().bindText(1, name).run();
    statements_->restorePrior.use().bindText(1, name).run();
  }
}

std::vector<StoredRule> StateStore::awaitingRetranslation(const std::string& structure,
                                                          const std::string& after,
                                                          std::size_t limit) {
  std::vector<StoredRule> rules;
  auto row = statements_->awaiting.use();
  row.bindText(1, after).bindText(2, structure).bindInteger(3, static_cast<long long>(limit));
  while (row.next()) {
    rules.push_back(ruleOf(row));
  }
  return rules;
}

RetranslationCounts StateStore::retranslationCounts(const std::string& structure) {
  auto row = statements_->passCounts.use();
  row.bindText(1, structure);
  row.next();
  return {static_cast<std::size_t>(row.integer(0)), static_cast<std::size_t>(row.integer(1)),
          static_cast<std::size_t>(row.integer(2))};
}

}  // namespace talvoro
