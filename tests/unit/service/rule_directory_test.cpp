// The rule directory on temporary directories: replacement with recovery,
// foreign entries named like rule files, leftovers of interrupted runs, the
// instance lock, and the lookup of installed versions by rule name.

#include "rule_directory.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "rule_names.h"
#include "rule_replacement.h"

#include "service_test_support.h"

namespace talvoro {
namespace {

namespace fs = std::filesystem;
using servicetest::TraceCapture;
using servicetest::writeFile;
using Files = std::vector<std::string>;

class RuleDirectoryTest : public ::testing::Test {
 protected:
  Files entries() const {
    Files names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string read(const std::string& name) const {
    return servicetest::readFile(dir_.path() / name);
  }
  void put(const std::string& name, const std::string& text) const {
    writeFile(dir_.path() / name, text);
  }
  static Files hashesOf(RuleDirectory& rules, const std::string& rule) {
    Files found;
    for (const auto& version : rules.installedVersions(rule)) {
      found.push_back(version.hash);
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  RuleFileError::Stage failedStage(const std::string& name, const std::string& text) {
    try {
      replaceRule(rules_, {rules_.installedVersions("r"), name, text});
    } catch (const RuleFileError& error) {
      EXPECT_FALSE(error.reason().empty());
      return error.stage();
    }
    ADD_FAILURE() << "the replacement went through";
    return RuleFileError::Stage::Lookup;
  }

  TraceCapture trace_;
  testsupport::TempDir dir_;
  RuleDirectory rules_{dir_.path().string() + "/", *P7::getTrace()};
};

TEST_F(RuleDirectoryTest, AFailedRenameLeavesTheDirectoryAsItWas) {
  put("r-__1__.js", "old");
  put("README.txt", "foreign");
  // One byte over the file name limit: the new file cannot be renamed in.
  EXPECT_EQ(failedStage("r-__" + std::string(249, '7') + "__.js", "new"),
            RuleFileError::Stage::Create);
  EXPECT_EQ(entries(), (Files{"README.txt", "r-__1__.js"}));
  EXPECT_EQ(read("r-__1__.js"), "old");
}

TEST_F(RuleDirectoryTest, ANonRuleEntryAtTheNewNameFailsTheRuleAndKeepsTheOldOne) {
  put("r-__1__.js", "old");
  fs::create_directory(dir_.path() / "r-__2__.js");
  ASSERT_EQ(::mkfifo((dir_.path() / "r-__3__.js").c_str(), 0644), 0);
  EXPECT_EQ(failedStage("r-__2__.js", "new"), RuleFileError::Stage::Create);
  EXPECT_EQ(failedStage("r-__3__.js", "new"), RuleFileError::Stage::Create);
  EXPECT_EQ(entries(), (Files{"r-__1__.js", "r-__2__.js", "r-__3__.js"}));
  EXPECT_EQ(read("r-__1__.js"), "old");
}

TEST_F(RuleDirectoryTest, AReplacementLeavesExactlyOneVersion) {
  put("r-__1__.js", "first copy");
  put("r-__2__.js", "second copy");
  put("rr-__3__.js", "another rule");
  replaceRule(rules_, {rules_.installedVersions("r"), "r-__2__.js", "new"});
  EXPECT_EQ(entries(), (Files{"r-__2__.js", "rr-__3__.js"}));
  EXPECT_EQ(read("r-__2__.js"), "new");

  replaceRule(rules_, {rules_.installedVersions("r"), "r-__0__.js", ""});
  EXPECT_EQ(entries(), Files{"rr-__3__.js"});
}

TEST_F(RuleDirectoryTest, ABatchFailsOnlyTheRuleThatFails) {
  put("a-__1__.js", "old a");
  put("b-__1__.js", "old b");
  fs::create_directory(dir_.path() / "b-__2__.js");
  std::vector<RuleChange> changes;
  for (const char* rule : {"a", "b", "c"}) {
    changes.push_back({rules_.installedVersions(rule), std::string(rule) + "-__2__.js",
                       std::string("new ") + rule});
  }
  RuleReplacement batch(rules_, std::move(changes));
  batch.run();
  using State = RuleReplacement::State;
  EXPECT_EQ(batch.state(0), State::Done);
  EXPECT_EQ(batch.state(1), State::NotReplaced);
  ASSERT_TRUE(batch.error(1));
  EXPECT_EQ(batch.state(2), State::Done);
  EXPECT_EQ(entries(), (Files{"a-__2__.js", "b-__1__.js", "b-__2__.js", "c-__2__.js"}));
  EXPECT_EQ(read("a-__2__.js"), "new a");
  EXPECT_EQ(read("b-__1__.js"), "old b");
}

TEST_F(RuleDirectoryTest, OnlyRegularFilesAreInstalledVersionsAndNothingBlocks) {
  put("target", "// 1900000000\n");
  fs::create_symlink(dir_.path() / "target", dir_.path() / "r-__1__.js");
  fs::create_symlink("/dev/zero", dir_.path() / "r-__2__.js");
  ASSERT_EQ(::mkfifo((dir_.path() / "r-__3__.js").c_str(), 0644), 0);
  fs::create_directory(dir_.path() / "r-__4__.js");
  const auto versions = rules_.installedVersions("r");
  ASSERT_EQ(versions.size(), 1u);
  EXPECT_EQ(versions[0].hash, "1");
  EXPECT_EQ(rules_.readHead("r-__1__.js"), "// 1900000000\n");
  EXPECT_EQ(rules_.readHead("r-__2__.js"), std::nullopt);
  EXPECT_EQ(rules_.readHead("r-__3__.js"), std::nullopt);

  put("big-__5__.js", std::string(4 * kMaxInstalledHeadBytes, 'x'));
  EXPECT_EQ(rules_.readHead("big-__5__.js")->size(), kMaxInstalledHeadBytes);
}

TEST_F(RuleDirectoryTest, TheLookupFollowsChangesByOtherParties) {
  auto hashes = [&] { return hashesOf(rules_, "r"); };
  put("r-__1__.js", "installed");
  EXPECT_EQ(hashes(), Files{"1"});
  put("r-__2__.js", "copied by hand");
  fs::rename(dir_.path() / "r-__1__.js", dir_.path() / "r-__3__.js");
  EXPECT_EQ(hashes(), (Files{"2", "3"}));
  fs::remove(dir_.path() / "r-__2__.js");
  fs::create_directory(dir_.path() / "r-__2__.js");
  EXPECT_EQ(hashes(), Files{"3"});
  replaceRule(rules_, {rules_.installedVersions("r"), "r-__4__.js", "new"});
  EXPECT_EQ(hashes(), Files{"4"});
}

TEST_F(RuleDirectoryTest, ALinkCountsOnceItsTargetAppears) {
  fs::create_symlink(dir_.path() / "later", dir_.path() / "r-__1__.js");
  EXPECT_EQ(hashesOf(rules_, "r"), Files{});
  put("later", "target");
  EXPECT_EQ(hashesOf(rules_, "r"), Files{"1"});
  replaceRule(rules_, {rules_.installedVersions("r"), "r-__2__.js", "new"});
  EXPECT_EQ(hashesOf(rules_, "r"), Files{"2"});
}

TEST_F(RuleDirectoryTest, TheLookupFollowsTheDirectoryNowAtItsPathNotOneMovedAway) {
  fs::create_directory(dir_.path() / "rules");
  RuleDirectory rules(dir_.path().string() + "/rules/", *P7::getTrace());
  put("rules/r-__1__.js", "first");
  EXPECT_EQ(hashesOf(rules, "r"), Files{"1"});
  fs::rename(dir_.path() / "rules", dir_.path() / "old");
  fs::create_directory(dir_.path() / "rules");
  put("rules/r-__2__.js", "second");
  EXPECT_EQ(hashesOf(rules, "r"), Files{"2"});
  put("old/r-__2__.js", "in the directory moved away");
  fs::remove(dir_.path() / "old/r-__2__.js");
  put("rules/r-__4__.js", "third");
  EXPECT_EQ(hashesOf(rules, "r"), (Files{"2", "4"}));
}

TEST_F(RuleDirectoryTest, AnUnreadableDirectoryIsAnErrorAndAMissingOneIsEmpty) {
  RuleDirectory missing(dir_.path().string() + "/none/", *P7::getTrace());
  EXPECT_TRUE(missing.installedVersions("r").empty());
  put("file", "a file where the directory should be");
  RuleDirectory notADirectory(dir_.path().string() + "/file/", *P7::getTrace());
  EXPECT_THROW(notADirectory.installedVersions("r"), RuleFileError);
}

TEST_F(RuleDirectoryTest, SweepRemovesOwnLeftoversAndRestoresALostVersion) {
  put(".rule-Ab12Cd", "interrupted write");
  put(".kept-__5.old", "moved aside, never replaced");
  put("done-__7__.js", "new version");
  put(".done-__6.old", "moved aside, replaced");
  put("README.txt", "foreign");
  put(".rule-toolong1", "foreign");
  put(".hidden.old", "foreign");
  rules_.sweepLeftovers();
  EXPECT_EQ(entries(), (Files{".hidden.old", ".rule-toolong1", "README.txt",
                              "done-__7__.js", "kept-__5__.js"}));
  EXPECT_EQ(read("kept-__5__.js"), "moved aside, never replaced");
  EXPECT_EQ(trace_.countNew(" WARNING "), 3u);
}

TEST_F(RuleDirectoryTest, FindsTheRuleByItsExactNameTakenAsText) {
  for (const std::string name :
       {"heating-__123__.js", "heating2-__456__.js", "xheating-__789__.js", "aXb-__111__.js",
        "a.b-__222__.js", "a(b)-__333__.js", "c[d-__444__.js", "-__77__.js"}) {
    put(name, "x");
  }
  EXPECT_EQ(rules_.findHash("heating"), "123");
  EXPECT_EQ(rules_.findHash("heating2"), "456");
  EXPECT_EQ(rules_.findHash("heat"), "");
  EXPECT_EQ(rules_.findHash("a.b"), "222");
  EXPECT_EQ(rules_.findHash("aXb"), "111");
  EXPECT_EQ(rules_.findHash("a(b)"), "333");
  EXPECT_EQ(rules_.findHash("c[d"), "444");
  EXPECT_EQ(rules_.findHash(".*"), "");
  EXPECT_EQ(rules_.findHash(""), "77");
}

TEST_F(RuleDirectoryTest, AcceptsOnlyTheExactInstalledFileNameShape) {
  for (const std::string name :
       {"r-__12__xjs", "r-__12__.jsx", "r-____.js", "r-__1a__.js", "r-__12__.js.tmp",
        "r__12__.js", ".r-__12__.js"}) {
    put(name, "x");
  }
  EXPECT_EQ(rules_.findHash("r"), "");
  put("r-__0012__.js", "x");
  EXPECT_EQ(rules_.findHash("r"), "0012");
}

TEST_F(RuleDirectoryTest, OnlyOneInstanceHoldsTheDirectory) {
  ASSERT_TRUE(rules_.tryLock());
  RuleDirectory second(dir_.path().string() + "/", *P7::getTrace());
  EXPECT_FALSE(second.tryLock());
}

TEST_F(RuleDirectoryTest, TheLockIsTakenOnceTheDirectoryOpensAndFollowsItsReplacement) {
  const fs::path path = dir_.path() / "rules";
  const auto instance = [&] { return RuleDirectory(path.string() + "/", *P7::getTrace()); };
  RuleDirectory rules = instance();
  rules.takeOver();  // no directory yet: no lock
  fs::create_directory(path);
  put("rules/.rule-Ab12Cd", "left by a crash");
  rules.keepLocked();
  EXPECT_FALSE(instance().tryLock());
  EXPECT_FALSE(fs::exists(path / ".rule-Ab12Cd")) << "not swept when the lock was taken";

  fs::rename(path, dir_.path() / "moved-away");
  fs::create_directory(path);
  rules.keepLocked();
  EXPECT_FALSE(instance().tryLock());

  fs::rename(path, dir_.path() / "moved-away-too");
  fs::create_directory(path);
  RuleDirectory second = instance();
  ASSERT_TRUE(second.tryLock());
  EXPECT_THROW(rules.keepLocked(), AnotherInstanceRunning);
}

}  // namespace
}  // namespace talvoro
