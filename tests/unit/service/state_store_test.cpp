// The state store on real files: what survives reopening and a killed
// process, a batch the store cannot record kept out of the rule directory, a write taken back when its files did not reach the rule
// directory, the re-translation pass across restarts, and stores that are
// broken, newer or cannot be written. Also the SQLite layer's promises that
// callers rely on. Run in a private mount namespace, so that tests may mount
// a tiny or read-only file system over their own directory.

#include "state_store.h"

#include "rule_batch.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "service_test_support.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;
using servicetest::readFile;
using servicetest::writeFile;
using Names = std::vector<std::string>;

StoredRule rule(const std::string& name, const std::string& text, const std::string& file,
                const std::string& structure = "S1") {
  StoredRule r;
  r.name = name;
  r.text = text;
  r.crc = 4294967295u;
  r.timestamp = 1700000000;
  r.structure = structure;
  r.file = file;
  return r;
}

StoreChange install(StoredRule r) { return {StoreChange::Kind::Install, std::move(r)}; }

StoreChange removal(const std::string& name) {
  StoredRule r;
  r.name = name;
  return {StoreChange::Kind::Remove, r};
}

StoreChange pass(const std::string& name, const std::string& structure, Retranslation outcome,
                const std::string& fileOrReason) {
  StoredRule r;
  r.name = name;
  r.structure = structure;
  (outcome == Retranslation::Failed || outcome == Retranslation::Skipped ? r.reason : r.file) =
      fileOrReason;
  return {StoreChange::Kind::Retranslate, r, outcome};
}

// A rule directory as a set of file names.
FilePresent holding(std::set<std::string> files) {
  return [files = std::move(files)](const std::string& file) { return files.count(file) > 0; };
}

const FilePresent kAnything = [](const std::string&) { return true; };

Names names(const std::vector<StoredRule>& rules) {
  Names result;
  for (const StoredRule& r : rules) {
    result.push_back(r.name);
  }
  return result;
}

class StateStoreTest : public ::testing::Test {
 protected:
  std::string directory() const { return dir_.path().string() + "/"; }
  std::unique_ptr<StateStore> open() const { return std::make_unique<StateStore>(directory()); }
  std::string fileOf(StateStore& store, const std::string& name) {
    const auto r = store.rule(name);
    return r ? r->file : "(none)";
  }

  testsupport::TempDir dir_;
};

TEST_F(StateStoreTest, RulesAndTheIoStructureSurviveReopeningByteForByte) {
  const char bytes[] = "// rule\0\xff\xfe tail";
  const std::string text(bytes, sizeof bytes - 1);
  {
    auto store = open();
    EXPECT_TRUE(store->opening().created);
    store->keepStructure("123", std::string("{\"elements\":{}}\0", 16));
    store->record({install(rule("b", text, "b-__1__.js")), install(rule("a", "A", "a-__2__.js")),
                   install(rule("c", "C", "c-__3__.js"))},
                  kAnything);
  }
  auto store = open();
  EXPECT_FALSE(store->opening().created);
  const auto b = store->rule("b");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->text, text);
  EXPECT_EQ(b->crc, 4294967295u);
  EXPECT_EQ(b->timestamp, 1700000000);
  EXPECT_EQ(b->structure, "S1");
  EXPECT_EQ(b->file, "b-__1__.js");
  EXPECT_EQ(store->structure()->text, std::string("{\"elements\":{}}\0", 16));
  EXPECT_EQ(store->structureHash(), "123");
  EXPECT_EQ(store->ruleCount(), 3u);
  EXPECT_EQ(names(store->listRules("", 2)), (Names{"a", "b"}));
  EXPECT_EQ(names(store->listRules("b", 2)), (Names{"c"}));
  EXPECT_TRUE(store->listRules("b", 2).front().text.empty());
  EXPECT_FALSE(store->rule("d"));
}

TEST_F(StateStoreTest, SettlingTakesBackEveryChangeThatDidNotReachTheDirectory) {
  auto store = open();
  store->record({install(rule("a", "A1", "a-__1__.js")), install(rule("b", "B1", "b-__1__.js")),
                 install(rule("c", "C1", "c-__1__.js")), install(rule("e", "E1", "e-__1__.js"))},
                kAnything);
  EXPECT_TRUE(store->settle(kAnything).empty());
  store->record({install(rule("a", "A2", "a-__2__.js")), removal("b"),
                 install(rule("c", "C2", "c-__2__.js")), install(rule("d", "D1", "d-__1__.js")),
                 removal("e")},
                kAnything);
  // a's new file arrived, b's removal did not, c kept its old file, d's file
  // never arrived, e's removal went through.
  const FilePresent directory = holding({"a-__2__.js", "b-__1__.js", "c-__1__.js"});
  Names takenBack = store->settle(directory);
  std::sort(takenBack.begin(), takenBack.end());
  EXPECT_EQ(takenBack, (Names{"b", "c", "d"}));
  EXPECT_EQ(store->rule("a")->text, "A2");
  EXPECT_EQ(store->rule("b")->text, "B1");
  EXPECT_EQ(store->rule("c")->text, "C1");
  EXPECT_EQ(fileOf(*store, "c"), "c-__1__.js");
  EXPECT_FALSE(store->rule("d"));
  EXPECT_FALSE(store->rule("e"));
  // Settled once, a write is not compared with a later directory again.
  EXPECT_TRUE(store->settle(holding({})).empty());
  EXPECT_EQ(store->rule("a")->text, "A2");
}

TEST_F(StateStoreTest, AWriteLeftUnsettledIsSettledByTheNextWriteOrAfterReopening) {
  {
    auto store = open();
    store->record({install(rule("a", "A1", "a-__1__.js"))}, kAnything);
    store->settle(kAnything);
    store->record({install(rule("a", "A2", "a-__2__.js"))}, kAnything);
    // The next write compares the last one with the directory first.
    store->record({install(rule("b", "B1", "b-__1__.js"))}, holding({"a-__1__.js"}));
    EXPECT_EQ(store->rule("a")->text, "A1");
    store->record({install(rule("a", "A3", "a-__3__.js"))}, kAnything);
  }
  // As after a power cut between the write and the directory's sync.
  auto store = open();
  EXPECT_EQ(store->settle(holding({"a-__1__.js", "b-__1__.js"})), (Names{"a"}));
  EXPECT_EQ(store->rule("a")->text, "A1");
  EXPECT_EQ(fileOf(*store, "b"), "b-__1__.js");
}

TEST_F(StateStoreTest, AFailedWriteChangesNothing) {
  auto store = open();
  store->record({install(rule("a", "A1", "a-__1__.js"))}, kAnything);
  const FilePresent unreadable = [](const std::string&) -> bool {
    throw std::runtime_error("the directory cannot be read");
  };
  EXPECT_THROW(store->record({install(rule("a", "A2", "a-__2__.js")), removal("x")}, unreadable),
               std::runtime_error);
  EXPECT_EQ(store->rule("a")->text, "A1");
  // The earlier write is still waiting to be settled.
  EXPECT_EQ(store->settle(holding({})), (Names{"a"}));
  EXPECT_FALSE(store->rule("a"));
}

// A child process writes rule after rule and is killed at a moment of the
// parent's choosing: every write it reported done is in the reopened store,
// and the store opens cleanly.
TEST_F(StateStoreTest, EveryWriteOfAKilledProcessThatReturnedIsThere) {
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    StateStore store(directory());
    for (int i = 0;; ++i) {
      const std::string name = fmt::format("rule-{:05}", i);
      store.record({install(rule(name, std::string(2000, 'x'), name + "-__1__.js"))}, kAnything);
      if (::write(report[1], &i, sizeof i) != sizeof i) {
        ::_exit(1);
      }
    }
  }
  ::close(report[1]);
  int last = -1;
  for (int i; last < 200 && ::read(report[0], &i, sizeof i) == sizeof i;) {
    last = i;
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(report[0]);
  ASSERT_GE(last, 200);
  auto store = open();
  EXPECT_EQ(store->opening().setAside, "");
  EXPECT_GE(store->ruleCount(), static_cast<std::size_t>(last + 1));
  EXPECT_TRUE(store->rule(fmt::format("rule-{:05}", last)));
}

TEST_F(StateStoreTest, ARetranslationPassResumesAfterReopeningAndCounts) {
  {
    auto store = open();
    store->record({install(rule("r1", "T1", "r1-__1__.js")), install(rule("r2", "T2", "r2-__1__.js")),
                   install(rule("r3", "T3", "r3-__1__.js")), install(rule("r4", "T4", "r4-__1__.js"))},
                  kAnything);
    EXPECT_EQ(names(store->awaitingRetranslation("S2", "", 3)), (Names{"r1", "r2", "r3"}));
    store->record({pass("r1", "S2", Retranslation::Retranslated, "r1-__9__.js"),
                   pass("r2", "S2", Retranslation::Failed, "the key \"lamp1\" is gone"),
                   pass("r3", "S2", Retranslation::Retranslated, "r3-__9__.js")},
                  kAnything);
    // r3's new file never arrived: it waits for the pass again.
    EXPECT_EQ(store->settle(holding({"r1-__9__.js", "r2-__1__.js", "r3-__1__.js"})),
              (Names{"r3"}));
  }
  auto store = open();
  EXPECT_EQ(names(store->awaitingRetranslation("S2", "", 10)), (Names{"r3", "r4"}));
  EXPECT_EQ(names(store->awaitingRetranslation("S2", "r3", 10)), (Names{"r4"}));
  const auto r1 = store->rule("r1");
  EXPECT_EQ(r1->structure, "S2");
  EXPECT_EQ(r1->file, "r1-__9__.js");
  EXPECT_EQ(r1->timestamp, 1700000000);
  const auto r2 = store->rule("r2");
  EXPECT_EQ(r2->structure, "S1");
  EXPECT_EQ(r2->file, "r2-__1__.js");
  EXPECT_EQ(r2->passOutcome, Retranslation::Failed);
  EXPECT_EQ(r2->reason, "the key \"lamp1\" is gone");
  // A rule that arrives translated against the new structure needs no pass.
  store->record({install(rule("r4", "T4b", "r4-__5__.js", "S2")),
                 pass("r3", "S2", Retranslation::Skipped, "no installed file")},
                kAnything);
  const RetranslationCounts counts = store->retranslationCounts("S2");
  EXPECT_EQ(counts.retranslated, 1u);
  EXPECT_EQ(counts.failed, 1u);
  EXPECT_EQ(counts.awaiting, 0u);
  // A later structure takes every rule again, the failed one included.
  EXPECT_EQ(store->retranslationCounts("S3").awaiting, 4u);
}

TEST_F(StateStoreTest, ABrokenStoreIsSetAsideAndANewOneServes) {
  const std::string garbage(8192, '\x5a');
  writeFile(dir_.path() / StateStore::kFileName, garbage);
  writeFile(dir_.path() / (std::string(StateStore::kFileName) + "-wal"), "not a wal");
  auto store = open();
  const StateStore::Opening& opening = store->opening();
  EXPECT_TRUE(opening.created);
  ASSERT_FALSE(opening.setAside.empty());
  EXPECT_EQ(readFile(opening.setAside), garbage);
  EXPECT_EQ(readFile(opening.setAside + "-wal"), "not a wal");
  EXPECT_NE(opening.setAsideWhy.find(store->path()), std::string::npos) << opening.setAsideWhy;
  store->record({install(rule("a", "A", "a-__1__.js"))}, kAnything);
  EXPECT_EQ(store->rule("a")->text, "A");
}

TEST_F(StateStoreTest, AStoreOfANewerBuildIsRefusedAndLeftAsItIs) {
  open()->keepStructure("1", "{}");
  {
    sqlite::Database db(directory() + StateStore::kFileName);
    db.execute("PRAGMA user_version = 7");
  }
  try {
    open();
    FAIL() << "a newer schema was taken";
  } catch (const sqlite::NewerSchema& error) {
    EXPECT_NE(std::string(error.what()).find("version 7"), std::string::npos) << error.what();
  }
  sqlite::Database db(directory() + StateStore::kFileName);
  EXPECT_EQ(db.queryText("SELECT hash FROM structure"), "1");
}

// Mounts over the test's directory and takes the mount away again.
class MountedStateStoreTest : public StateStoreTest {
 protected:
  void SetUp() override {
    if (!testsupport::inPrivateMountNamespace()) {
      GTEST_SKIP() << "not in a private mount namespace";
    }
  }
  void TearDown() override {
    if (mounted_) {
      ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
  }
  void mountTmpfs(const std::string& options) {
    ASSERT_EQ(::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()), 0);
    mounted_ = true;
  }
  void remountReadOnly() {
    ASSERT_EQ(::mount(dir_.path().c_str(), dir_.path().c_str(), nullptr, MS_BIND, nullptr), 0);
    mounted_ = true;
    ASSERT_EQ(::mount(nullptr, dir_.path().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                      nullptr),
              0);
  }

  bool mounted_ = false;
};

TEST_F(MountedStateStoreTest, AFullDiskFailsTheWriteAndKeepsEveryEarlierOne) {
  mountTmpfs("size=512k");
  auto store = open();
  store->record({install(rule("a", "A", "a-__1__.js"))}, kAnything);
  try {
    store->record({install(rule("big", std::string(2 * 1024 * 1024, 'x'), "big-__1__.js"))},
                  kAnything);
    FAIL() << "a write larger than the disk went through";
  } catch (const sqlite::Error& error) {
    EXPECT_EQ(error.code(), SQLITE_FULL) << error.what();
    EXPECT_NE(std::string(error.what()).find(store->path()), std::string::npos) << error.what();
  }
  EXPECT_FALSE(store->rule("big"));
  store->record({install(rule("b", "B", "b-__1__.js"))}, kAnything);
  store.reset();
  EXPECT_EQ(open()->ruleCount(), 2u);
}

TEST_F(MountedStateStoreTest, AReadOnlyOrMissingDirectoryIsRefusedOnOpening) {
  open()->keepStructure("1", "{}");
  remountReadOnly();
  try {
    open();
    FAIL() << "a store on a read-only file system was opened";
  } catch (const sqlite::Error& error) {
    EXPECT_FALSE(error.corrupt());
    EXPECT_NE(std::string(error.what()).find(StateStore::kFileName), std::string::npos)
        << error.what();
  }
  EXPECT_THROW(StateStore(directory() + "missing/"), sqlite::Error);
}

TEST_F(MountedStateStoreTest, ABatchTheStoreCannotRecordIsNotInstalled) {
  servicetest::TraceCapture trace;
  testsupport::TempDir rules;
  RuleDirectory directory(rules.path().string() + "/", *P7::getTrace());
  mountTmpfs("size=512k");
  auto store = open();
  RuleInstaller installer(directory, *P7::getTrace(), {SyntaxCheckMode::Off, std::nullopt},
                          nullptr, store.get());
  TemplateCacheCleanupGuard guard{false};
  const IoStructure structure =
      parseIoStructure<IoInfo>(nlohmann::json::parse(R"({"elements": {}})"), guard, false);
  const auto install = [&](std::vector<std::pair<std::string, std::string>> rules) {
    std::vector<RuleMessage> batch;
    for (const auto& [name, text] : rules) {
      batch.push_back({name, std::vector<char>(text.begin(), text.end())});
    }
    return installer.install(std::move(batch), structure, "S1");
  };
  ASSERT_EQ(install({{"a", "first"}})[0].outcome.kind, RuleOutcome::Kind::Installed);
  const Names installed = {directory.installedVersions("a").at(0).fileName};

  // Larger than the store's disk: neither rule of the batch reaches the directory.
  for (const RuleReport& report :
       install({{"a", "second " + std::string(2 * 1024 * 1024, 'x')}, {"b", "small"}})) {
    EXPECT_EQ(report.outcome.kind, RuleOutcome::Kind::Failed) << report.name;
    EXPECT_EQ(report.outcome.reason.rfind("the state store could not be written: ", 0), 0u)
        << report.outcome.reason;
  }
  Names files;
  for (const auto& entry : fs::directory_iterator(rules.path())) {
    files.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(files, installed);
  EXPECT_EQ(readFile(rules.path() / installed[0]), "first");
  EXPECT_EQ(store->rule("a")->text, "first");
  EXPECT_FALSE(store->rule("b"));
}

// The SQLite layer, as the store's callers see it.

TEST_F(StateStoreTest, AStatementLeftBeforeItsLastRowKeepsNoOldSnapshot) {
  const std::string path = directory() + "layer.db";
  sqlite::Database reader(path);
  reader.execute("PRAGMA journal_mode = WAL; CREATE TABLE t (x INTEGER); INSERT INTO t VALUES (1), (2)");
  sqlite::Statement all(reader, "SELECT x FROM t");
  sqlite::Statement count(reader, "SELECT count(*) FROM t");
  {
    auto rows = all.use();
    ASSERT_TRUE(rows.next());
  }
  sqlite::Database writer(path);
  writer.execute("INSERT INTO t VALUES (3)");
  auto rows = count.use();
  ASSERT_TRUE(rows.next());
  EXPECT_EQ(rows.integer(0), 3);
}

TEST_F(StateStoreTest, AMigrationStepThatFailsLeavesTheSchemaBeforeIt) {
  sqlite::Database db(directory() + "layer.db");
  const sqlite::Migration first = [](sqlite::Database& d) { d.execute("CREATE TABLE a (x)"); };
  const sqlite::Migration failing = [](sqlite::Database& d) {
    d.execute("CREATE TABLE b (x)");
    throw std::runtime_error("step 2 failed");
  };
  EXPECT_THROW(sqlite::migrate(db, {first, failing}), std::runtime_error);
  EXPECT_EQ(db.userVersion(), 1);
  EXPECT_EQ(db.queryText("SELECT count(*) FROM sqlite_schema WHERE name = 'b'"), "0");
  EXPECT_FALSE(db.inTransaction());
  sqlite::migrate(db, {first, [](sqlite::Database& d) { d.execute("CREATE TABLE b (x)"); }});
  EXPECT_EQ(db.userVersion(), 2);
}

}  // namespace
}  // namespace talvoro
