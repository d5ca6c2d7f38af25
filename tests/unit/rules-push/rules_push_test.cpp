// rules-push's command line, bookkeeping and output, without MQTT.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <sstream>

#include "deployment.h"
#include "push_options.h"
#include "report.h"
#include "status_check.h"
#include "talvoro/rule_crc.h"
#include "talvoro/timestamp_line.h"
#include "testsupport/temp_dir.h"

namespace talvoro::push {
namespace {

using namespace std::chrono_literals;
using Clock = Deployment::Clock;
using protocol::restamped;
using protocol::ruleCrc;

const Controller kBrokerA{"tcp://a:1883", "", std::nullopt, "tcp://a:1883"};
const Controller kBrokerB{"tcp://b:1883", "", std::nullopt, "tcp://b:1883"};

TEST(RulesPushOptions, RuleNameIsTheBaseNameWithoutTheJsEnding) {
  EXPECT_EQ(ruleNameOfFile("rules/kitchen-light.js"), "kitchen-light");
  EXPECT_EQ(ruleNameOfFile("/a/b.js.js"), "b.js");
  EXPECT_EQ(ruleNameOfFile("notes.json"), "notes.json");
  EXPECT_EQ(ruleNameOfFile("dir/.js"), ".js");
}

// What the service would refuse is refused before anything is published.
TEST(RulesPushOptions, RefusesTheRuleNamesTheServiceRefuses) {
  testsupport::TempDir dir;
  PushOptions options;
  for (const std::string& name : {std::string(228, 'n'), std::string(".hidden"),
                                  std::string("a\tb")}) {
    options.name = name;
    options.files = {(dir.path() / "a.js").string()};
    std::ofstream(options.files.front()) << "x";
    EXPECT_THROW(loadRules(options), UsageError) << name;
  }
  options.name = std::string(227, 'n');
  EXPECT_EQ(loadRules(options).front().name, std::string(227, 'n'));
  std::ofstream(dir.path() / ".js") << "x";
  options.name.reset();
  options.files = {(dir.path() / ".js").string()};
  EXPECT_THROW(loadRules(options), UsageError);
}

TEST(RulesPushOptions, RefusesWhatCannotBeFollowed) {
  using Args = std::vector<std::string>;
  for (const Args& args : {Args{}, Args{"-"}, Args{"--name", "x", "a.js", "b.js"},
                           Args{"--name", "a/b", "a.js"}, Args{"--name", "a+", "a.js"},
                           Args{"--name", "caf\xC3", "a.js"}, Args{"--name", "\xED\xA0\x80", "a.js"},
                           Args{"--timeout", "0", "a.js"}, Args{"--timeout", "5s", "a.js"},
                           Args{"--retries", "-1", "a.js"}, Args{"--broker"},
                           Args{"--deadline", "0", "a.js"}, Args{"--deadline", "1e9", "a.js"},
                           Args{"--bogus", "a.js"},
                           Args{"--check", "--configuration", "io.json", "a.js"},
                           Args{"--check", "--retranslate", "a.js"},
                           Args{"--cert", "c.pem", "a.js"}, Args{"--key", "k.pem", "a.js"},
                           Args{"a.js", "--sign-key"}}) {
    EXPECT_THROW(parseArguments(args), UsageError) << ::testing::PrintToString(args);
  }
  const PushOptions options =
      parseArguments({"--timeout=0.25", "--retries", "0", "--name", "x", "--", "-"});
  EXPECT_EQ(options.timeout, 250ms);
  EXPECT_EQ(options.retries, 0);
  EXPECT_EQ(options.files, std::vector<std::string>{"-"});
  EXPECT_NO_THROW(parseArguments({"--name", "K\xC3\xBC" "che \xF0\x9F\x92\xA1", "-"}));
}

// Every wait is bounded by the options, and the whole run by the deadline:
// for the configuration and for each 100 rules, the wait for the service and
// every attempt's waits for the broker's acknowledgement and the result.
TEST(RulesPushOptions, TheDeadlineIsGivenOrFollowsFromTheTimeoutAndTheRetries) {
  EXPECT_EQ(parseArguments({"--deadline", "90.5", "a.js"}).deadline, 90500ms);
  PushOptions options = parseArguments({"--timeout", "2", "--retries", "1", "a.js"});
  EXPECT_FALSE(options.deadline.has_value());
  EXPECT_EQ(defaultDeadline(options, 1, 100), 10s);
  EXPECT_EQ(defaultDeadline(options, 100, 100), 10s);
  EXPECT_EQ(defaultDeadline(options, 250, 100), 30s);
  options.configuration = "io.json";
  EXPECT_EQ(defaultDeadline(options, 0, 100), 20s);
}

TEST(RulesPushOptions, RefusesTwiceTheSameNameADirectoryAndAnEmptyTextWithoutClear) {
  testsupport::TempDir dir;
  std::filesystem::create_directory(dir.path() / "sub");
  for (const auto* file : {"a.js", "sub/a.js"}) {
    std::ofstream(dir.path() / file) << "x";
  }
  std::ofstream(dir.path() / "empty.js").flush();
  PushOptions options;
  options.files = {(dir.path() / "a.js").string(), (dir.path() / "sub/a.js").string()};
  EXPECT_THROW(loadRules(options), UsageError);
  options.files = {(dir.path() / "sub").string()};
  EXPECT_THROW(loadRules(options), InputError);
  options.files = {(dir.path() / "empty.js").string()};
  EXPECT_THROW(loadRules(options), InputError);
  options.clear = true;
  ASSERT_EQ(loadRules(options).size(), 1u);
  EXPECT_EQ(loadRules(options).front().text, "");
}

TEST(RulesPushOptions, BrokerAddressesAreCheckedWhereverTheyComeFrom) {
  PushOptions options;
  for (const char* bad : {"foo", "tcp://", "tcp://127.0.0.1:abc", "tcp://127.0.0.1:99999",
                          "tcp://[::1", "tcp://127.0.0.1:0", "http://host", "tcp://a b",
                          "tcp://host:", "tcp://host/x", "tcp://[]:1883"}) {
    options.brokers = {bad};
    EXPECT_THROW(brokerAddresses(options, nullptr), UsageError) << bad;
    options.brokers.clear();
    EXPECT_THROW(brokerAddresses(options, bad), UsageError) << bad;
  }
  EXPECT_EQ(brokerAddresses(options, nullptr),
            std::vector<std::string>{"tcp://127.0.0.1:1883"});
  EXPECT_EQ(brokerAddresses(options, ""), std::vector<std::string>{"tcp://127.0.0.1:1883"});
  EXPECT_EQ(brokerAddresses(options, "ssl://broker.example:8883"),
            std::vector<std::string>{"ssl://broker.example:8883"});
  options.brokers = {"tcp://[::1]:1883", "mqtts://10.0.0.7", "mqtt://ctl-2_a.local:65535"};
  EXPECT_EQ(brokerAddresses(options, "tcp://ignored:1"), options.brokers);
  options.brokers = {"tcp://a:1", "tcp://a:1"};
  EXPECT_THROW(brokerAddresses(options, nullptr), UsageError);
}

TEST(RulesPushExitStatus, ASignalCountsOnlyWhenItCutARunShort) {
  EXPECT_EQ(exitStatus({{0, false}, {1, false}}, 0), 1);
  EXPECT_EQ(exitStatus({{0, false}, {3, true}}, SIGINT), 130);
  EXPECT_EQ(exitStatus({{0, false}, {1, false}}, SIGTERM), 1);
}

TEST(RulesPushTimestampLine, RestampsTheLineTheServiceReadsAndNothingElse) {
  EXPECT_EQ(restamped("// 1765090800\nx", 1800000000), "// 1800000000\nx");
  EXPECT_EQ(restamped("a\n  //\t1765090800 \r\nb // 1765090800", 1800000000),
            "a\n  //\t1800000000 \r\nb // 1765090800");
  // Too large for the service's number: a later line counts.
  EXPECT_EQ(restamped("// 99999999999999999999\n// 1765090800", 1800000000),
            "// 99999999999999999999\n// 1800000000");
  for (const std::string& same : std::vector<std::string>{"no stamp", "// 176509080\n", "// 1765090800 x\n",
                                 "x // 1765090800\n", std::string(10, '\n') + "// 1765090800",
                                 "// " + std::string(1030, '1')}) {
    EXPECT_EQ(restamped(same, 1800000000), same);
  }
}

std::vector<Item> rules(int count) {
  std::vector<Item> items;
  for (int i = 0; i < count; ++i) {
    const std::string name = "r" + std::to_string(i);
    items.push_back({name, "add/" + name, name, "result/" + name, ruleCrc(name)});
  }
  return items;
}

std::vector<std::size_t> indices(const std::vector<Deployment::Send>& sends) {
  std::vector<std::size_t> result;
  for (const Deployment::Send& send : sends) {
    result.push_back(send.index);
  }
  return result;
}

TEST(RulesPushDeployment, BoundsWhatIsInFlightAndTakesOnlyResultsWithItsCrc) {
  Deployment deployment(rules(3), {1s, 3, 2});
  const auto t0 = Clock::now();
  EXPECT_EQ(indices(deployment.due(t0).send), (std::vector<std::size_t>{0, 1}));
  EXPECT_TRUE(deployment.due(t0).send.empty());
  EXPECT_FALSE(deployment.takeResult("result/r0", ruleCrc("other"), {"installed", {}}));
  EXPECT_FALSE(deployment.takeResult("result/r9", ruleCrc("r9"), {"installed", {}}));
  EXPECT_EQ(deployment.takeResult("result/r0", ruleCrc("r0"), {"installed", {}}), 0u);
  EXPECT_FALSE(deployment.takeResult("result/r0", ruleCrc("r0"), {"unchanged", {}}));
  EXPECT_EQ(indices(deployment.due(t0).send), (std::vector<std::size_t>{2}));
}

TEST(RulesPushDeployment, TheTimeoutRunsFromTheBrokersAcknowledgementThenGivesUp) {
  Deployment deployment(rules(1), {1s, 1, 10});
  const auto t0 = Clock::now();
  EXPECT_EQ(deployment.due(t0).send.size(), 1u);
  // A large rule may take long to reach the broker: no resend meanwhile.
  EXPECT_TRUE(deployment.due(t0 + 20s).send.empty());
  deployment.delivered(0, 1, t0 + 20s);
  EXPECT_TRUE(deployment.due(t0 + 20s + 999ms).send.empty());
  const Deployment::Step resend = deployment.due(t0 + 21s);
  ASSERT_EQ(resend.send.size(), 1u);
  EXPECT_EQ(resend.send.front().attempt, 2);
  deployment.delivered(0, 1, t0 + 21s);  // the first attempt's, late: ignored
  EXPECT_TRUE(deployment.due(t0 + 30s).send.empty());
  deployment.notDelivered(0, 2, t0 + 30s);
  const Deployment::Step last = deployment.due(t0 + 31s);
  EXPECT_TRUE(last.send.empty());
  EXPECT_EQ(last.gaveUp, (std::vector<std::size_t>{0}));
  EXPECT_TRUE(deployment.finished());
  EXPECT_EQ(deployment.exitStatus(), 3);
  EXPECT_EQ(deployment.summary("rule"), "summary: 1 rule; 1 no result");
}

// What the broker took and the service never answered: a broker drops a
// message above its size limit and acknowledges it all the same.
TEST(RulesPushDeployment, KnowsWhichRulesTheBrokerTookButTheServiceNeverAnswered) {
  Deployment deployment(rules(3), {1s, 0, 10});
  const auto t0 = Clock::now();
  deployment.due(t0);
  deployment.delivered(0, 1, t0);
  deployment.delivered(1, 1, t0);
  deployment.takeResult("result/r1", ruleCrc("r1"), {"installed", {}});
  EXPECT_EQ(deployment.due(t0 + 2s).gaveUp, (std::vector<std::size_t>{0}));
  EXPECT_EQ(deployment.giveUpAll(), (std::vector<std::size_t>{2}));
  EXPECT_EQ(deployment.unansweredAfterAcknowledgement(), (std::vector<std::size_t>{0}));
}

TEST(RulesPushDeployment, SendsAgainAtOnceWhatWasInFlightWhenTheServiceWentAway) {
  Deployment deployment(rules(2), {10s, 3, 10});
  const auto t0 = Clock::now();
  deployment.due(t0);
  EXPECT_EQ(deployment.takeResult("result/r1", ruleCrc("r1"), {"installed", {}}), 1u);
  deployment.serviceLost();
  EXPECT_EQ(indices(deployment.due(t0).send), (std::vector<std::size_t>{0}));
}

TEST(RulesPushDeployment, AnAnsweredConfigurationGoesAgainWhenReopened) {
  Deployment configuration({{"configuration", "cfg", "{}", "cfg/result", std::nullopt}},
                           {1s, 0, 1});
  const auto t0 = Clock::now();
  configuration.due(t0);
  configuration.takeResult("cfg/result", std::nullopt, {"accepted", {}});
  configuration.reopen(0);
  EXPECT_FALSE(configuration.finished());
  EXPECT_EQ(indices(configuration.due(t0).send), (std::vector<std::size_t>{0}));
  configuration.takeResult("cfg/result", std::nullopt, {"rejected", "not JSON"});
  EXPECT_EQ(configuration.outcomeOf(0)->outcome, "rejected");
  EXPECT_EQ(configuration.exitStatus(), 1);
}

TEST(RulesPushDeployment, OutdatedIsReportedAsTheServiceSaysIt) {
  Deployment deployment(rules(1), {1s, 3, 10});
  deployment.due(Clock::now());
  deployment.takeResult("result/r0", ruleCrc("r0"), {"outdated", "the installed version has"});
  EXPECT_EQ(deployment.outcomeOf(0)->outcome, "outdated");
  EXPECT_EQ(deployment.exitStatus(), 1);
}

TEST(RulesPushCheck, InPlaceOnlyWhenTheStatusCarriesThisText) {
  EXPECT_EQ(checkVerdict(7, 7).outcome, "in place");
  const Outcome other = checkVerdict(7, 8);
  EXPECT_EQ(other.outcome, "would be sent");
  EXPECT_EQ(other.reason, "the status carries the CRC 8");
  EXPECT_EQ(checkVerdict(7, std::nullopt).reason, "no status");
  EXPECT_EQ(checkExitStatus({{"in place", 2}}), 0);
  EXPECT_EQ(checkExitStatus({{"in place", 2}, {"would be sent", 1}}), 4);
  EXPECT_EQ(checkExitStatus({{"would be sent", 1}, {"no result", 1}}), 3);
}

TEST(RulesPushReport, TheWorstStatusOverBrokers) {
  EXPECT_EQ(worstStatus({}), 0);
  EXPECT_EQ(worstStatus({0, 1, 0}), 1);
  EXPECT_EQ(worstStatus({1, 3, 0}), 3);
  EXPECT_EQ(worstStatus({4, 1}), 4);
  EXPECT_EQ(worstStatus({3, 4}), 3);
  EXPECT_EQ(worstStatus({3, 5, 1}), 5);
  EXPECT_EQ(worstStatus({0, 6, 0}), 6);
  EXPECT_EQ(worstStatus({6, 1}), 1);
}

TEST(RulesPushReport, ARuleInstalledWithAWarningHasItsLineAndExitStatus) {
  const Outcome warned{"installed", {}, "SyntaxError: unterminated statement, line 2"};
  const ItemLine rule{&kBrokerA, false, "hall", 7, &warned};
  EXPECT_EQ(textLine(rule, false),
            "hall: installed (warning: SyntaxError: unterminated statement, line 2)");
  EXPECT_EQ(jsonLine(rule), R"({"broker":"tcp://a:1883","name":"hall","outcome":"installed",)"
                            R"("crc":7,"warning":"SyntaxError: unterminated statement, line 2"})");

  Deployment deployment(rules(2), {1s, 3, 10});
  deployment.due(Clock::now());
  deployment.takeResult("result/r0", ruleCrc("r0"), {"installed", {}});
  deployment.takeResult("result/r1", ruleCrc("r1"), warned);
  EXPECT_EQ(deployment.exitStatus(), 6);
  deployment.reopen(0);
  deployment.due(Clock::now());
  deployment.takeResult("result/r0", ruleCrc("r0"), {"rejected", "SyntaxError"});
  EXPECT_EQ(deployment.exitStatus(), 1);
}

TEST(RulesPushReport, TextAndJsonLines) {
  const Outcome rejected{"rejected", "the placeholder key \"x\" cannot be resolved"};
  const Outcome installed{"installed", {}};
  const ItemLine rule{&kBrokerA, false, "hall", 7, &rejected};
  EXPECT_EQ(textLine(rule, false), "hall: rejected: the placeholder key \"x\" cannot be resolved");
  EXPECT_EQ(textLine(rule, true),
            "tcp://a:1883: hall: rejected: the placeholder key \"x\" cannot be resolved");
  EXPECT_EQ(jsonLine(rule), R"({"broker":"tcp://a:1883","name":"hall","outcome":"rejected",)"
                            R"("crc":7,"reason":"the placeholder key \"x\" cannot be resolved"})");
  EXPECT_EQ(jsonLine({&kBrokerA, false, "caf\xC3", 0, &installed}),
            "{\"broker\":\"tcp://a:1883\",\"name\":\"caf\xEF\xBF\xBD\",\"outcome\":"
            "\"installed\",\"crc\":0}");
  EXPECT_EQ(jsonLine({&kBrokerA, true, "io.json", std::nullopt, nullptr}),
            R"({"broker":"tcp://a:1883","configuration":"io.json","outcome":"no result"})");
  EXPECT_EQ(textLine({&kBrokerB, true, "io.json", std::nullopt, nullptr}, false),
            "configuration: no result");
}

TEST(RulesPushReport, AnInterruptedRunReportsTheRestAsNoResultAndItsExitStatus) {
  Deployment deployment(rules(3), {1s, 3, 10});
  deployment.due(Clock::now());
  deployment.takeResult("result/r1", ruleCrc("r1"), {"installed", {}});
  for (const Format format : {Format::Text, Format::Json}) {
    std::ostringstream out;
    Reporter reporter(out, format, false);
    reporter.item({&kBrokerA, false, "r1", ruleCrc("r1"), deployment.outcomeOf(1)});
    Deployment interrupted = deployment;
    for (const std::size_t index : interrupted.giveUpAll()) {
      reporter.item({&kBrokerA, false, interrupted.items()[index].label, std::nullopt,
                     interrupted.outcomeOf(index)});
    }
    reporter.summary(kBrokerA, interrupted.summary("rule"));
    reporter.finish(130);
    const std::string expected =
        format == Format::Text
            ? "r1: installed\nr0: no result\nr2: no result\n"
              "summary: 3 rules; 1 installed, 2 no result\n"
            : fmt::format(R"({{"broker":"tcp://a:1883","name":"r1","outcome":"installed","crc":{}}})"
                          "\n"
                          R"({{"broker":"tcp://a:1883","name":"r0","outcome":"no result"}})"
                          "\n"
                          R"({{"broker":"tcp://a:1883","name":"r2","outcome":"no result"}})"
                          "\n"
                          R"({{"summary":{{"installed":1,"no result":2}},"exit":130}})"
                          "\n",
                          ruleCrc("r1"));
    EXPECT_EQ(out.str(), expected);
  }
}

}  // namespace
}  // namespace talvoro::push
