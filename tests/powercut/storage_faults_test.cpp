// The rule directory and the kept IO structure on the crash-simulation file system with faults
// injected where they hurt: a directory sync, a rename or an unlink that fails in the middle of
// a replacement, and the taking back that fails after it. Each outcome must say what is on
// disk, a rule never ends with two installed versions, and what a power cut keeps must agree
// with what was acknowledged.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "configuration.h"
#include "crash_fs.h"
#include "rule_batch.h"
#include "rule_replacement.h"
#include "saved_configuration.h"
#include "service_test_support.h"
#include "state_store.h"
#include "storage_faults_fixture.h"

namespace powercut {
namespace {

using namespace talvoro;
using Files = std::vector<std::string>;
using Operation = CrashSimulationFs::Operation;
using State = RuleReplacement::State;
using Kind = RuleOutcome::Kind;

class StorageFaultsTest : public FaultyStorage {
 protected:
  void SetUp() override {
    FaultyStorage::SetUp();
    if (!IsSkipped()) {
      rules_ = std::make_unique<RuleDirectory>(dir(), *P7::getTrace());
    }
  }

  Files entries() const {
    Files names;
    for (const auto& entry : std::filesystem::directory_iterator(mountPoint())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static Files namesOf(const DirectoryImage& image) {
    Files names;
    for (const auto& [name, content] : image) {
      names.push_back(name);
    }
    return names;
  }

  RuleOutcome install(const std::string& text) {
    std::vector<RuleMessage> batch;
    batch.push_back({"r", std::vector<char>(text.begin(), text.end())});
    return installer_->install(std::move(batch), structure_).front().outcome;
  }

  static std::string fileOf(const std::string& text) {
    return "r-__" + std::to_string(std::hash<std::string>{}(text)) + "__.js";
  }

  // A state store in `stateDir` (created), and an installer that records in it.
  std::unique_ptr<StateStore> installWithStore(const std::filesystem::path& stateDir) {
    std::filesystem::create_directory(stateDir);
    auto store = std::make_unique<StateStore>(stateDir.string() + "/");
    installer_ = std::make_unique<RuleInstaller>(
        *rules_, *P7::getTrace(), RuleCheckSettings{SyntaxCheckMode::Off, std::nullopt}, nullptr,
        store.get());
    return store;
  }

  // A restart: a new instance sweeps what this one left.
  void restart() {
    rules_ = std::make_unique<RuleDirectory>(dir(), *P7::getTrace());
    rules_->sweepLeftovers();
  }

  servicetest::TraceCapture trace_;
  std::unique_ptr<RuleDirectory> rules_;
  std::unique_ptr<RuleInstaller> installer_;
  IoStructure structure_;
};

TEST_F(StorageFaultsTest, AFailedDirectorySyncTakesARuleBackAndAFailedTakingBackSaysWhatIsInPlace) {
  installer_ = std::make_unique<RuleInstaller>(*rules_, *P7::getTrace());
  ASSERT_EQ(install("v1").kind, Kind::Installed);

  fs().failNext(Operation::DirectorySync);
  const RuleOutcome rolledBack = install("v2");
  EXPECT_EQ(rolledBack.kind, Kind::Failed);
  EXPECT_NE(rolledBack.reason.find("the previous version is in place again"), std::string::npos);
  EXPECT_EQ(entries(), Files{fileOf("v1")});

  // The new version cannot be removed again: it stays, the old one stays aside.
  fs().failNext(Operation::DirectorySync);
  fs().failNext(Operation::Unlink);
  const RuleOutcome live = install("v3");
  EXPECT_EQ(live.kind, Kind::Failed);
  EXPECT_EQ(live.file, fileOf("v3"));
  EXPECT_NE(live.reason.find("it is in place"), std::string::npos) << live.reason;
  EXPECT_EQ(entries(), (Files{".r-__" + std::to_string(std::hash<std::string>{}("v1")) + ".old",
                              fileOf("v3")}));
  EXPECT_NE(trace_.text().find("удаление " + dir() + fileOf("v3") + ": Input/output error"),
            std::string::npos);
  restart();
  EXPECT_EQ(entries(), Files{fileOf("v3")});

  // The old version cannot be put back (the third rename): none is in place until the next
  // start puts it back.
  installer_ = std::make_unique<RuleInstaller>(*rules_, *P7::getTrace());
  fs().failNext(Operation::DirectorySync);
  fs().failNext(Operation::Rename, 2);
  const RuleOutcome none = install("v4");
  EXPECT_EQ(none.kind, Kind::Failed);
  EXPECT_NE(none.reason.find("the next start puts it back"), std::string::npos) << none.reason;
  EXPECT_EQ(entries(), Files{".r-__" + std::to_string(std::hash<std::string>{}("v3")) + ".old"});
  restart();
  EXPECT_EQ(entries(), Files{fileOf("v3")});
}

TEST_F(StorageFaultsTest, AnUnchangedRuleIsAcknowledgedOnlyOnceItsEntryIsDurable) {
  installer_ = std::make_unique<RuleInstaller>(*rules_, *P7::getTrace());
  // Both syncs fail and the new version stays in place, its entry not durable.
  fs().failNext(Operation::DirectorySync);
  fs().failNext(Operation::DirectorySync, 1);
  fs().failNext(Operation::Unlink);
  ASSERT_EQ(install("v1").kind, Kind::Failed);
  ASSERT_GT(fs().unsyncedOperations(), 0u);

  fs().failNext(Operation::DirectorySync);
  EXPECT_EQ(install("v1").kind, Kind::Failed);
  EXPECT_EQ(install("v1").kind, Kind::Unchanged);
  EXPECT_EQ(fs().unsyncedOperations(), 0u);
}

TEST_F(StorageFaultsTest, TheStartUpSweepMakesWhatItFindsDurable) {
  // Renamed into place by a run killed before its directory sync.
  std::ofstream(mountPoint() / fileOf("v1")) << "v1";
  std::ofstream(mountPoint() / ".rule-Ab12Cd") << "interrupted";
  ASSERT_GT(fs().unsyncedOperations(), 0u);
  rules_->takeOver();
  EXPECT_EQ(fs().unsyncedOperations(), 0u);
  EXPECT_EQ(namesOf(fs().crashImage(0)), Files{fileOf("v1")});
}

TEST_F(StorageFaultsTest, AClearIsAcknowledgedOnlyWhenNoVersionCanComeBack) {
  installer_ = std::make_unique<RuleInstaller>(*rules_, *P7::getTrace());
  install("v1");
  EXPECT_EQ(install("").kind, Kind::Cleared);
  EXPECT_EQ(fs().unsyncedOperations(), 0u);
  EXPECT_EQ(namesOf(fs().crashImage(0)), Files{});

  // The sync after the aside copy went fails: a cut may keep the copy, and the start would put
  // it back.
  install("v2");
  fs().failNext(Operation::DirectorySync, 1);
  const RuleOutcome notDurable = install("");
  EXPECT_EQ(notDurable.kind, Kind::Failed);
  EXPECT_NE(notDurable.reason.find("the rule is cleared, but not durably"), std::string::npos);
  EXPECT_EQ(entries(), Files{});
  EXPECT_EQ(namesOf(fs().crashImage(0)),
            Files{".r-__" + std::to_string(std::hash<std::string>{}("v2")) + ".old"});

  // A copy that an earlier replacement had to leave aside goes with the clear.
  install("v3");
  fs().failNext(Operation::Unlink);
  ASSERT_EQ(install("v4").kind, Kind::Installed);
  EXPECT_EQ(entries().size(), 2u);
  EXPECT_EQ(install("").kind, Kind::Cleared);
  EXPECT_EQ(entries(), Files{});
  restart();
  EXPECT_EQ(entries(), Files{});
}

TEST_F(StorageFaultsTest, AClearWhoseVersionStaysAsideKeepsTheRulesTextInTheStore) {
  const std::filesystem::path stateDir = scratch_.path() / "state";
  auto store = installWithStore(stateDir);
  ASSERT_EQ(install("v1").kind, Kind::Installed);

  // The aside copy can neither go nor be put back: the clear fails, and the next start puts
  // the version back, so the store must keep its text, through later batches too.
  fs().failNext(Operation::Unlink);
  fs().failNext(Operation::Rename, 1);
  EXPECT_EQ(install("").kind, Kind::Failed);
  EXPECT_EQ(entries(), Files{".r-__" + std::to_string(std::hash<std::string>{}("v1")) + ".old"});
  std::vector<RuleMessage> later;
  later.push_back({"s", {'s'}});
  ASSERT_EQ(installer_->install(std::move(later), structure_).front().outcome.kind,
            Kind::Installed);
  installer_.reset();
  store.reset();
  restart();
  const std::string laterFile = "s-__" + std::to_string(std::hash<std::string>{}("s")) + "__.js";
  ASSERT_EQ(entries(), (Files{fileOf("v1"), laterFile}));
  StateStore reopened(stateDir.string() + "/");
  reopened.settle(presentOrComingBack(*rules_));
  const std::optional<StoredRule> kept = reopened.rule("r");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->file, fileOf("v1"));
  EXPECT_EQ(kept->text, "v1");
}

TEST_F(StorageFaultsTest, AReplacementTakenBackUndurablyLeavesTheStoreToTheDirectoryAfterACut) {
  const std::filesystem::path stateDir = scratch_.path() / "state";
  auto store = installWithStore(stateDir);
  ASSERT_EQ(install("v1").kind, Kind::Installed);

  // Both the batch's sync and the one after taking v2 back fail: a cut may keep v2 in place
  // or v1, and the store must follow whichever the next start finds.
  fs().failNext(Operation::DirectorySync);
  fs().failNext(Operation::DirectorySync, 1);
  ASSERT_EQ(install("v2").kind, Kind::Failed);
  ASSERT_EQ(entries(), Files{fileOf("v1")});
  std::vector<DirectoryImage> cuts;
  for (std::size_t kept = 0; kept <= fs().unsyncedOperations(); ++kept) {
    cuts.push_back(fs().crashImage(kept));
  }
  installer_.reset();
  store.reset();
  rules_.reset();

  for (std::size_t i = 0; i < cuts.size(); ++i) {
    const std::filesystem::path disk = scratch_.path() / ("disk-" + std::to_string(i));
    std::filesystem::create_directory(disk);
    for (const auto& [name, content] : cuts[i]) {
      std::ofstream(disk / name, std::ios::binary) << content;
    }
    fs().switchBacking(disk.string());
    const std::filesystem::path copy = scratch_.path() / ("state-" + std::to_string(i));
    std::filesystem::copy(stateDir, copy);
    restart();
    StateStore reopened(copy.string() + "/");
    reopened.settle(presentOrComingBack(*rules_));
    const std::optional<StoredRule> kept = reopened.rule("r");
    ASSERT_TRUE(kept) << "cut " << i;
    EXPECT_EQ(entries(), Files{kept->file}) << "cut " << i;
    EXPECT_EQ(kept->text, kept->file == fileOf("v2") ? "v2" : "v1") << "cut " << i;
    rules_.reset();
  }
}

TEST_F(StorageFaultsTest, AnIoStructureWhoseDirectorySyncFailedIsNotCalledKept) {
  const SavedConfiguration saved(dir());
  Configuration configuration([&saved](std::string_view text) { saved.save(text); });
  const std::string text = R"({"elements": {}})";
  const std::vector<char> payload(text.begin(), text.end());
  fs().failNext(Operation::DirectorySync);
  EXPECT_EQ(configuration.receive(payload, [] {}).payload,
            R"({"elements":0,"kept":false,"outcome":"accepted"})");
  EXPECT_NE(trace_.text().find("Структура ввода-вывода записана, но не сохранена надёжно"),
            std::string::npos);
  EXPECT_EQ(saved.load(), text);
  EXPECT_EQ(configuration.receive(payload, [] {}).payload,
            R"({"elements":0,"kept":true,"outcome":"unchanged"})");
  EXPECT_EQ(fs().unsyncedOperations(), 0u);
}

}  // namespace
}  // namespace powercut
