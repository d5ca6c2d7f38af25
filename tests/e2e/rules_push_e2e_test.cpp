// rules-push against the built service and a real broker: a deployment with
// results, a rejected rule, an outdated one, a service killed in the middle
// (with and without a retained configuration), an empty input, several
// brokers, a frozen one, a broker that drops large messages, no IO
// structure, no service.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "push_fixture.h"

namespace e2e {
namespace {

constexpr const char* kStructure =
    R"({"elements": {"lamp1": {"device": "relay_7", "port": 3}}})";

std::vector<std::string> exampleRules() {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(EXAMPLE_RULES_DIR)) {
    if (entry.path().extension() == ".js") {
      files.push_back(entry.path().string());
    }
  }
  return files;
}

bool contains(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

TEST_F(PushTest, DeploysTheExamplesAndCallsARepeatedDeploymentUnchanged) {
  startService();
  PushRun run = push({"--configuration", EXAMPLE_STRUCTURE}, false);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "configuration: accepted\n")) << run.output;

  run = push(exampleRules(), false);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "kitchen-light: installed\n")) << run.output;

  // The example carries a timestamp line; the same text again is unchanged.
  run = push(exampleRules());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "kitchen-light: unchanged\n")) << run.output;

  run = push({"--check", exampleRules().front(), writeInput("never-sent.js", "x")});
  EXPECT_EQ(run.exitCode, 4) << run.output;
  EXPECT_TRUE(contains(run.output, ": in place\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "never-sent: would be sent: not installed\n")) << run.output;
}

TEST_F(PushTest, ReportsARuleWithAMissingKeyAsRejected) {
  startConfigured(kStructure);
  const PushRun run = push({writeInput("good.js", "DEVICE_NAME(lamp1)"),
                            writeInput("bad.js", "DEVICE_NAME(nowhere)")});
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(contains(run.output, "good: installed\n")) << run.output;
  EXPECT_TRUE(contains(run.output,
                       "bad: rejected: the placeholder key \"nowhere\" cannot be resolved\n"))
      << run.output;
  EXPECT_TRUE(contains(run.output, "summary: 2 rules; 1 installed, 1 rejected\n")) << run.output;
}

TEST_F(PushTest, SaysWhichRulesWereInstalledWithAWarningAndExitsWith6) {
  startConfigured(kStructure);
  const std::vector<std::string> files = {
      writeInput("good.js", "log(\"DEVICE_NAME(lamp1)\");"),
      writeInput("broken.js", "defineRule(\"x\", { then: function () {}\n")};
  PushRun run = push(files);
  EXPECT_EQ(run.exitCode, 6) << run.output;
  EXPECT_TRUE(contains(run.output, "good: installed\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "broken: installed (warning: SyntaxError: ")) << run.output;

  run = push(files, false);
  EXPECT_EQ(run.exitCode, 0) << "unchanged rules carry no warning\n" << run.output;
  run = push({"--json", writeInput("broken.js", "// 1900000000\nfunction (\n")});
  EXPECT_EQ(run.exitCode, 6) << run.output;
  EXPECT_TRUE(contains(run.output, R"("outcome":"installed",)")) << run.output;
  EXPECT_TRUE(contains(run.output, R"(,"warning":"SyntaxError: )")) << run.output;
  EXPECT_TRUE(contains(run.output, R"("exit":6})")) << run.output;
}

TEST_F(PushTest, RecoversFromAServiceKilledInTheMiddleOfADeployment) {
  // Retained, so that the restarted service is configured again by itself.
  client_.publish(kConfigurationTopic, kStructure, 1, true);
  startService();
  testsupport::TestMqttClient observer;
  observer.connect(broker_->url(), "e2e-observer");
  observer.subscribe("/tl/bridge/rules/result/#", 1);
  // Without timestamp lines: a rule installed just before the kill, whose
  // result was lost, ends "unchanged" when sent again.
  constexpr int kRules = 300;
  std::vector<std::string> files;
  for (int i = 0; i < kRules; ++i) {
    files.push_back(writeInput("rule-" + std::to_string(i) + ".js",
                               "DEVICE_NAME(lamp1) = " + std::to_string(i) + ";"));
  }
  auto deployment = start(files);

  ASSERT_TRUE(observer.waitMessage(20s)) << "no result before the kill";
  service_->stop(SIGKILL, 10s);
  startService();

  const PushRun run = deployment->wait(120s);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(testsupport::countOccurrences(run.output, ": installed\n") +
                testsupport::countOccurrences(run.output, ": unchanged"),
            static_cast<std::size_t>(kRules))
      << run.output;
  EXPECT_EQ(ruleFiles().size(), static_cast<std::size_t>(kRules));
}

TEST_F(PushTest, ANewIoStructureReachesInstalledRulesAndRetranslateStillInstalls) {
  startConfigured(kStructure);
  const std::string rule = "// 1765090800\nDEVICE_NAME(lamp1)\n";
  const std::string file = writeInput("stamped.js", rule);
  ASSERT_EQ(push({file}).exitCode, 0);
  const std::string renamed = R"({"elements": {"lamp1": {"device": "relay_9", "port": 3}}})";
  ASSERT_EQ(push({"--configuration", writeInput("renamed.json", renamed)}).exitCode, 0);

  // The service translates the installed rule again by itself; the same
  // text sent again is then unchanged.
  ASSERT_TRUE(eventually([&] {
    return ruleFiles().size() == 1u &&
           readRuleFile(ruleFiles().front()) == "// 1765090800\nrelay_9\n";
  }));
  PushRun run = push({file});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "stamped: unchanged\n")) << run.output;

  run = push({"--retranslate", file});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "stamped: installed\n")) << run.output;
  ASSERT_EQ(ruleFiles().size(), 1u);
  EXPECT_TRUE(contains(readRuleFile(ruleFiles().front()), "\nrelay_9\n"));
  EXPECT_FALSE(contains(readRuleFile(ruleFiles().front()), "1765090800"));
  EXPECT_EQ(readAll(file), rule);
}

TEST_F(PushTest, SendsTheConfigurationAgainToAServiceRestartedWithoutOne) {
  startService();
  testsupport::TestMqttClient observer;
  observer.connect(broker_->url(), "e2e-observer");
  observer.subscribe("/tl/bridge/rules/result/#", 1);
  constexpr int kRules = 300;
  std::vector<std::string> args = {"--configuration", writeInput("io.json", kStructure)};
  for (int i = 0; i < kRules; ++i) {
    args.push_back(writeInput("rule-" + std::to_string(i) + ".js",
                              "DEVICE_NAME(lamp1) = " + std::to_string(i) + ";"));
  }
  auto deployment = start(args);

  ASSERT_TRUE(observer.waitMessage(20s)) << "no result before the kill";
  service_->stop(SIGKILL, 10s);
  // Without the IO structure it kept (a new controller, or one whose state
  // directory was emptied) and with none retained, it comes back waiting.
  for (const auto& entry : fs::directory_iterator(workDir_ / "state")) {
    fs::remove_all(entry.path());
  }
  startService();

  const PushRun run = deployment->wait(120s);
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.errors, "the service restarted without an IO structure; sending the "
                                   "configuration again"))
      << run.errors;
  EXPECT_TRUE(contains(run.output, "configuration: accepted\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "summary: 300 rules; ")) << run.output;
  EXPECT_EQ(testsupport::countOccurrences(run.output, ": installed\n") +
                testsupport::countOccurrences(run.output, ": unchanged\n"),
            static_cast<std::size_t>(kRules))
      << run.output;
  EXPECT_EQ(ruleFiles().size(), static_cast<std::size_t>(kRules));
}

TEST_F(PushTest, RefusesAnEmptyRuleTextUnlessClearIsGiven) {
  startConfigured(kStructure);
  ASSERT_EQ(push({writeInput("kitchen-light.js", "DEVICE_NAME(lamp1)")}).exitCode, 0);

  // A generator that failed in a pipeline leaves standard input empty.
  PushRun run = push({"--name", "kitchen-light", "-"});
  EXPECT_EQ(run.exitCode, 2) << run.output;
  EXPECT_EQ(run.output, "");
  EXPECT_TRUE(contains(run.errors, "give --clear if that is meant")) << run.errors;
  EXPECT_EQ(ruleFiles().size(), 1u);

  run = push({"--clear", "--name", "kitchen-light", "-"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "kitchen-light: cleared\nsummary: 1 rule; 1 cleared\n");
  EXPECT_TRUE(ruleFiles().empty());
}

TEST_F(PushTest, DeploysToEveryBrokerAndASilentOneHoldsUpNoOther) {
  startService();
  // A second controller: a broker and a service of its own, with their own
  // rule directory; and a third address where nothing answers.
  testsupport::MosquittoBroker secondBroker;
  const fs::path secondRules = scratch_.path() / "second-rules";
  for (const auto* dir : {"second-rules", "second-logs", "second-work"}) {
    fs::create_directory(scratch_.path() / dir);
  }
  ServiceProcess secondService(secondBroker.url(), secondRules, scratch_.path() / "second-logs",
                               scratch_.path() / "second-work");
  const std::string silent = "tcp://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort());
  // The timeout below is short for the silent broker's sake: the second
  // service must be there before it runs out (under an emulator too).
  ASSERT_TRUE(eventually([&] {
    return secondBroker.log().find("/tl/bridge/configuration (QoS 0)") != std::string::npos;
  }, 30s)) << secondBroker.log();

  const PushRun run = push({"--broker", secondBroker.url(), "--broker", silent, "--timeout", "3",
                            "--configuration", writeInput("io.json", kStructure),
                            writeInput("lamp.js", "DEVICE_NAME(lamp1)")});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  for (const std::string& broker : {broker_->url(), secondBroker.url()}) {
    EXPECT_TRUE(contains(run.output, broker + ": lamp: installed\n")) << run.output;
  }
  EXPECT_TRUE(contains(run.output, silent + ": configuration: no result: unreachable: ")) << run.output;
  EXPECT_EQ(ruleFiles().size(), 1u);
  EXPECT_EQ(std::distance(fs::directory_iterator(secondRules), fs::directory_iterator()), 1);
  EXPECT_TRUE(secondService.running());
}

// A second controller for the tests that need a broker of their own: a
// broker, with `options`, and a configured service with its own directories.
class SecondController {
 public:
  SecondController(const fs::path& scratch, testsupport::BrokerOptions options = {})
      : broker(testsupport::MosquittoBroker::Start::Now, std::move(options)),
        rules(scratch / "second-rules") {
    for (const auto* dir : {"second-rules", "second-logs", "second-work"}) {
      fs::create_directory(scratch / dir);
    }
    service = std::make_unique<ServiceProcess>(broker.url(), rules, scratch / "second-logs",
                                               scratch / "second-work");
    configurator.connect(broker.url(), "e2e-second-configurator");
    configurator.subscribe("/tl/bridge/rules/state", 1);
    configurator.publish("/tl/bridge/configuration", kStructure, 1, true);
  }

  // Until the service says it takes rules.
  bool ready() {
    while (const auto state = configurator.waitMessage(30s)) {
      if (state->payload == "ready") {
        return true;
      }
    }
    return false;
  }

  testsupport::MosquittoBroker broker;
  fs::path rules;
  std::unique_ptr<ServiceProcess> service;
  testsupport::TestMqttClient configurator;
};

// The broker of one controller stops answering in the middle of a
// deployment: that broker's run ends with exit status 3 and the reason,
// within its deadline, and the other controller gets every rule.
TEST_F(PushTest, AFrozenBrokerEndsItsRunWithTheReasonAndHoldsUpNoOther) {
  startConfigured(kStructure);
  SecondController frozen(scratch_.path());
  ASSERT_TRUE(frozen.ready());
  testsupport::TestMqttClient observer;
  observer.connect(frozen.broker.url(), "e2e-observer");
  observer.subscribe("/tl/bridge/rules/result/#", 1);
  constexpr int kRules = 300;
  std::vector<std::string> args = {"--broker", frozen.broker.url(), "--timeout", "2",
                                   "--retries", "1"};
  for (int i = 0; i < kRules; ++i) {
    args.push_back(writeInput("rule-" + std::to_string(i) + ".js",
                              "DEVICE_NAME(lamp1) = " + std::to_string(i) + ";"));
  }
  auto deployment = start(args);
  ASSERT_TRUE(observer.waitMessage(30s)) << "no result before the freeze";
  frozen.broker.freeze();

  // Its deadline is (2 * 2 + 1) * 2 s for each 100 rules; the margin is for
  // a loaded machine.
  const PushRun run = deployment->wait(90s);
  ASSERT_TRUE(run.exitCode.has_value()) << "still running\n" << run.errors;
  EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, broker_->url() + ": summary: 300 rules; 300 installed\n"))
      << run.output;
  EXPECT_TRUE(contains(run.output, frozen.broker.url() + ": summary: 300 rules; ")) << run.output;
  EXPECT_TRUE(contains(run.errors, "rules-push: " + frozen.broker.url() +
                                       ": no answer: the service did not take rules for 2 s: "
                                       "the broker acknowledged nothing of what was sent to it "
                                       "for 2 s\n"))
      << run.errors;
  frozen.broker.thaw();
}

// mosquitto acknowledges a message above its message_size_limit and drops
// it: the service never hears of the rule, and the tool says what may be why.
TEST_F(PushTest, SaysThatTheBrokersSizeLimitMayBeWhyALargeRuleGotNoResult) {
  testsupport::BrokerOptions limited;
  limited.messageSizeLimit = 2000;
  SecondController controller(scratch_.path(), limited);
  ASSERT_TRUE(controller.ready());
  const PushRun run =
      push({"--broker", controller.broker.url(), "--timeout", "1", "--retries", "0",
            writeInput("small.js", "DEVICE_NAME(lamp1)"),
            writeInput("large.js", "DEVICE_NAME(lamp1)" + std::string(5000, ' '))},
           false);
  EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "small: installed\n")) << run.output;
  EXPECT_TRUE(contains(run.output, "large: no result: timed out: no result after 1 attempt\n"))
      << run.output;
  EXPECT_TRUE(contains(run.errors, "the broker took 1 rule (the smallest 5018 bytes) that the "
                                   "service never answered, each larger than every rule it "
                                   "answered (at most 18 bytes)"))
      << run.errors;
  EXPECT_TRUE(contains(run.errors, "message_size_limit")) << run.errors;
}

// The service waits for an IO structure and no --configuration is given:
// nothing this run could send would be taken, so it ends at once.
TEST_F(PushTest, WithoutAnIoStructureAndWithoutConfigurationTheRunEndsAtOnce) {
  startService();
  const auto begun = std::chrono::steady_clock::now();
  const PushRun run = push({"--timeout", "60", writeInput("r.js", "x")});
  EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 30s);
  EXPECT_TRUE(contains(run.errors, "the service has no IO structure")) << run.errors;
  EXPECT_EQ(run.output,
            "r: no result: no IO structure\n"
            "summary: 1 rule; 1 no result\n");
}

TEST_F(PushTest, RefusesARuleLargerThanOneMessageCanCarry) {
  const PushRun run = push({"--name", "z", "/dev/zero"});
  EXPECT_EQ(run.exitCode, 2) << run.errors;
  EXPECT_EQ(run.output, "");
  EXPECT_TRUE(contains(run.errors, "rules-push: cannot read /dev/zero: it holds more than "))
      << run.errors;
}

TEST_F(PushTest, ExitsWith3WhenNoServiceAnswers) {
  const PushRun run = push({"--timeout", "0.5", writeInput("r.js", "x")});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_EQ(run.output,
            "r: no result: no service: the service has announced no state on the broker\n"
            "summary: 1 rule; 1 no result\n");
}

}  // namespace
}  // namespace e2e
