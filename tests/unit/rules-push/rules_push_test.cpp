// rules-push's command line and bookkeeping, without MQTT.

#include <gtest/gtest.h>

#include <fstream>

#include "deployment.h"
#include "push_options.h"
#include "talvoro/rule_crc.h"
#include "testsupport/temp_dir.h"

namespace talvoro::push {
namespace {

using namespace std::chrono_literals;
using Clock = Deployment::Clock;
using protocol::ruleCrc;

TEST(RulesPushOptions, RuleNameIsTheBaseNameWithoutTheJsEnding) {
  EXPECT_EQ(ruleNameOf("rules/kitchen-light.js"), "kitchen-light");
  EXPECT_EQ(ruleNameOf("/a/b.js.js"), "b.js");
  EXPECT_EQ(ruleNameOf("notes.json"), "notes.json");
  EXPECT_EQ(ruleNameOf("dir/.js"), ".js");
}

TEST(RulesPushOptions, RefusesWhatCannotBeFollowed) {
  using Args = std::vector<std::string>;
  for (const Args& args : {Args{}, Args{"-"}, Args{"--name", "x", "a.js", "b.js"},
                           Args{"--name", "a/b", "a.js"}, Args{"--name", "a+", "a.js"},
                           Args{"--name", "caf\xC3", "a.js"}, Args{"--name", "\xED\xA0\x80", "a.js"},
                           Args{"--timeout", "0", "a.js"}, Args{"--timeout", "5s", "a.js"},
                           Args{"--retries", "-1", "a.js"}, Args{"--broker"},
                           Args{"--bogus", "a.js"}}) {
    EXPECT_THROW(parseArguments(args), UsageError) << ::testing::PrintToString(args);
  }
  const PushOptions options =
      parseArguments({"--timeout=0.25", "--retries", "0", "--name", "x", "--", "-"});
  EXPECT_EQ(options.timeout, 250ms);
  EXPECT_EQ(options.retries, 0);
  EXPECT_EQ(options.files, std::vector<std::string>{"-"});
  EXPECT_NO_THROW(parseArguments({"--name", "K\xC3\xBC" "che \xF0\x9F\x92\xA1", "-"}));
}

TEST(RulesPushOptions, RefusesTwiceTheSameNameAndADirectory) {
  testsupport::TempDir dir;
  std::filesystem::create_directory(dir.path() / "sub");
  for (const auto* file : {"a.js", "sub/a.js"}) {
    std::ofstream(dir.path() / file) << "x";
  }
  PushOptions options;
  options.files = {(dir.path() / "a.js").string(), (dir.path() / "sub/a.js").string()};
  EXPECT_THROW(loadRules(options), UsageError);
  options.files = {(dir.path() / "sub").string()};
  EXPECT_THROW(loadRules(options), InputError);
}

std::vector<Item> rules(int count) {
  std::vector<Item> items;
  for (int i = 0; i < count; ++i) {
    const std::string name = "r" + std::to_string(i);
    items.push_back({name, "add/" + name, name, "result/" + name, ruleCrc(name)});
  }
  return items;
}

TEST(RulesPushDeployment, BoundsWhatIsInFlightAndTakesOnlyResultsWithItsCrc) {
  Deployment deployment(rules(3), {1s, 3, 2});
  const auto t0 = Clock::now();
  EXPECT_EQ(deployment.due(t0).send, (std::vector<std::size_t>{0, 1}));
  EXPECT_TRUE(deployment.due(t0).send.empty());
  EXPECT_FALSE(deployment.takeResult("result/r0", ruleCrc("other"), {"installed", {}}));
  EXPECT_FALSE(deployment.takeResult("result/r9", ruleCrc("r9"), {"installed", {}}));
  EXPECT_EQ(deployment.takeResult("result/r0", ruleCrc("r0"), {"installed", {}}), 0u);
  EXPECT_FALSE(deployment.takeResult("result/r0", ruleCrc("r0"), {"unchanged", {}}));
  EXPECT_EQ(deployment.due(t0).send, (std::vector<std::size_t>{2}));
}

TEST(RulesPushDeployment, ResendsUpToTheRetriesThenGivesUp) {
  Deployment deployment(rules(1), {1s, 1, 10});
  const auto t0 = Clock::now();
  EXPECT_EQ(deployment.due(t0).send.size(), 1u);
  EXPECT_TRUE(deployment.due(t0 + 999ms).send.empty());
  EXPECT_EQ(deployment.due(t0 + 1s).send.size(), 1u);
  const Deployment::Step last = deployment.due(t0 + 2s);
  EXPECT_TRUE(last.send.empty());
  EXPECT_EQ(last.gaveUp, (std::vector<std::size_t>{0}));
  EXPECT_TRUE(deployment.finished());
  EXPECT_EQ(deployment.exitStatus(), 3);
  EXPECT_EQ(deployment.summary("rule"), "summary: 1 rule; 1 no result");
}

TEST(RulesPushDeployment, SendsAgainAtOnceWhatWasInFlightWhenTheServiceWentAway) {
  Deployment deployment(rules(2), {10s, 3, 10});
  const auto t0 = Clock::now();
  deployment.due(t0);
  EXPECT_EQ(deployment.takeResult("result/r1", ruleCrc("r1"), {"installed", {}}), 1u);
  deployment.serviceLost();
  EXPECT_EQ(deployment.due(t0).send, (std::vector<std::size_t>{0}));
}

TEST(RulesPushDeployment, OutdatedCountsAsUnchangedOnlyWhenTheStatusShowsThisText) {
  Deployment deployment(rules(2), {1s, 3, 10});
  deployment.due(Clock::now());
  deployment.noteStatus("r0", ruleCrc("r0"));
  deployment.noteStatus("r1", ruleCrc("newer"));
  deployment.takeResult("result/r0", ruleCrc("r0"), {"outdated", "timestamps"});
  deployment.takeResult("result/r1", ruleCrc("r1"), {"outdated", "timestamps"});
  EXPECT_EQ(deployment.outcomeOf(0)->outcome, "unchanged");
  EXPECT_EQ(deployment.outcomeOf(1)->outcome, "outdated");
  EXPECT_EQ(deployment.exitStatus(), 1);
}

}  // namespace
}  // namespace talvoro::push
