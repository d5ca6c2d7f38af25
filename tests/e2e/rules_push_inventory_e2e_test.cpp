// rules-push reading the built service's inventory over a real broker: the
// plan of --check, --prune with and without unknown files, --list, the
// fallback to the retained statuses, and two services on one set of topics.

#include "push_fixture.h"

namespace e2e {
namespace {

constexpr const char* kStructure =
    R"({"elements": {"lamp1": {"device": "relay_7", "port": 3},
                     "lamp2": {"device": "relay_8", "port": 1}}})";
constexpr const char* kWithoutLamp2 =
    R"({"elements": {"lamp1": {"device": "relay_7", "port": 3}}})";

bool contains(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

class PushInventoryTest : public PushTest {
 protected:
  // a, b and c installed, and a file nobody installed through the service.
  void installRules() {
    startConfigured(kStructure);
    const PushRun run = push({rule("a", "DEVICE_NAME(lamp1)"), rule("b", "b1"),
                              rule("c", "DEVICE_NAME(lamp2)")});
    ASSERT_EQ(run.exitCode, 0) << run.output << run.errors;
    writeRuleFile(installedName("hand", "by hand"), "by hand");
  }

  std::string rule(const std::string& name, const std::string& text) {
    return writeInput(name + ".js", text);
  }
};

TEST_F(PushInventoryTest, CheckPlansFromTheInventoryAndPruneRemovesWhatIsNotInTheSet) {
  installRules();
  PushRun run = push({"--check", "--prune", rule("a", "DEVICE_NAME(lamp1)"), rule("b", "b2")});
  EXPECT_EQ(run.exitCode, 4) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "a: in place\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "b: would be sent: installed with the CRC " +
                                       crcText("b1") + "\n"))
      << run.output;
  EXPECT_TRUE(contains(run.output, "c: would be removed\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "hand: not in the set: a file the service did not install: "
                                   "--prune-unknown removes it\n"))
      << run.output;

  run = push({"--prune", rule("a", "DEVICE_NAME(lamp1)"), rule("b", "b2")});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "b: installed\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "c: cleared\nsummary: 1 removal; 1 cleared\n")) << run.output;
  EXPECT_EQ(rulesOf(ruleFiles()), (std::vector<std::string>{"a", "b", "hand"}));

  run = push({"--check", rule("a", "DEVICE_NAME(lamp1)"), rule("b", "b2")});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;

  run = push({"--list"});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "b: current, crc " + crcText("b2"))) << run.output;
  EXPECT_TRUE(contains(run.output, "hand: unknown, crc 0, timestamp 0, file " +
                                       installedName("hand", "by hand") + "\n"))
      << run.output;
  EXPECT_TRUE(contains(run.output, "summary: 3 rules; 2 current, 1 unknown\n")) << run.output;

  run = push({"--prune", "--prune-unknown", rule("a", "DEVICE_NAME(lamp1)"), rule("b", "b2")});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "hand: cleared\n")) << run.output;
  EXPECT_EQ(rulesOf(ruleFiles()), (std::vector<std::string>{"a", "b"}));
}

TEST_F(PushInventoryTest, ARuleThatNoLongerTranslatesIsStaleAndSendingItAgainIsNoHelp) {
  installRules();
  configure(kWithoutLamp2);
  PushRun run;
  // The re-translation ends in its own time: the plan says stale once it did.
  eventually(
      [&] {
        run = push({"--check", rule("c", "DEVICE_NAME(lamp2)")});
        return contains(run.output, "c: stale: ");
      },
      30s);
  EXPECT_EQ(run.exitCode, 4) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "lamp2")) << run.output;
}

TEST_F(PushInventoryTest, AServiceThatGivesNoInventoryIsJudgedByItsRetainedStatuses) {
  installRules();
  ASSERT_TRUE(service_->stop(SIGTERM, 10s));
  service_.reset();
  const PushRun run =
      push({"--timeout", "1", "--check", rule("a", "DEVICE_NAME(lamp1)"), rule("b", "b2")});
  EXPECT_EQ(run.exitCode, 4) << run.output << run.errors;
  EXPECT_TRUE(contains(run.errors, "did not answer the inventory request within 1 s; judged by "
                                   "the retained statuses"))
      << run.errors;
  EXPECT_TRUE(contains(run.output, "a: in place\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "b: would be sent: the status carries the CRC " +
                                       crcText("b1") + "\n"))
      << run.output;
}

TEST_F(PushInventoryTest, TwoServicesOnOneSetOfTopicsAreAFaultNotOneController) {
  installRules();
  testsupport::TempDir second;
  fs::create_directories(second.path() / "rules");
  fs::create_directories(second.path() / "logs");
  ServiceProcess other(broker_->url(), second.path() / "rules", second.path() / "logs",
                       second.path());
  waitForConfigurationSubscription(2);
  configure(kStructure);  // both take it
  PushRun run;
  // The second service answers once it has subscribed.
  eventually(
      [&] {
        run = push({"--check", rule("a", "DEVICE_NAME(lamp1)")});
        return run.exitCode == 3;
      },
      30s);
  EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "a: no result: two services answer on these topics\n"))
      << run.output;

  run = push({rule("a", "DEVICE_NAME(lamp1)")});
  EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
  EXPECT_TRUE(contains(run.errors, "two services answer on these topics")) << run.errors;
}

}  // namespace
}  // namespace e2e
