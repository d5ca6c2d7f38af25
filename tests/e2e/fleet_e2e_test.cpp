// A fleet of controllers behind one central broker: each controller's broker
// is bridged to it under the controller's prefix, and the tests talk to the
// central broker only: with a client of their own, and with rules-push
// --fleet (deploy, plan, a controller down, prune).

#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fleet.h"
#include "push_fixture.h"
#include "talvoro/rules_protocol.h"

namespace e2e {
namespace {

namespace protocol = talvoro::protocol;

// True when this process has a child, reaped or not.
bool hasChildProcess() { return !(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD); }

class FleetTest : public ::testing::Test {
 protected:
  static constexpr std::size_t kControllers = 5;

  void SetUp() override {
    TESTSUPPORT_REQUIRE_MOSQUITTO();
    if (!testsupport::inPrivateMountNamespace()) {
      if (testsupport::runningInCi()) {
        GTEST_FAIL() << "fleet tests must run in a private mount namespace";
      }
      GTEST_SKIP() << "not in a private mount namespace";
    }
    fleet_ = std::make_unique<Fleet>(kControllers);
    fleet_->waitForStates({"waiting", "ready"}, 30s);
    client_.connect(fleet_->central().url(), "fleet-tester");
    client_.subscribe("fleet/#", 1);
  }

  void TearDown() override {
    fleet_.reset();
    EXPECT_FALSE(hasChildProcess()) << "a broker or service outlived the fleet";
  }

  FleetController& controller(std::size_t number) { return fleet_->controller(number); }

  // Publishes the example IO structure to every controller and waits until
  // each is ready for rules.
  void configureAll() {
    std::set<std::string> results;
    for (std::size_t n = 1; n <= kControllers; ++n) {
      client_.publish(controller(n).topic(protocol::kConfigurationTopic), readAll(EXAMPLE_STRUCTURE),
                      1);
      results.insert(controller(n).topic(protocol::kConfigurationResultTopic));
    }
    for (const auto& [topic, payload] : awaitTopics(results)) {
      EXPECT_EQ(nlohmann::json::parse(payload)["outcome"], "accepted") << topic;
    }
    fleet_->waitForStates({"ready"}, 20s);
  }

  // The first message on each of `topics` that arrives from now on, by topic;
  // fails the test naming those that did not come in time.
  std::map<std::string, std::string> awaitTopics(std::set<std::string> topics) {
    std::map<std::string, std::string> payloads;
    const auto deadline = std::chrono::steady_clock::now() + patience(20s);
    while (!topics.empty() && std::chrono::steady_clock::now() < deadline) {
      if (const auto message = take(); message && topics.erase(message->topic) > 0) {
        payloads[message->topic] = message->payload;
      }
    }
    for (const auto& topic : topics) {
      ADD_FAILURE() << "nothing came on " << topic;
    }
    return payloads;
  }

  // Waits until `payload` arrives on `topic`.
  bool awaitPayload(const std::string& topic, const std::string& payload) {
    const auto deadline = std::chrono::steady_clock::now() + patience(20s);
    while (std::chrono::steady_clock::now() < deadline) {
      if (const auto message = take(); message && message->topic == topic &&
                                       message->payload == payload) {
        return true;
      }
    }
    return false;
  }

  // How many messages came on `topic` so far.
  std::size_t countReceived(const std::string& topic) const {
    return std::count_if(received_.begin(), received_.end(),
                         [&](const auto& message) { return message.topic == topic; });
  }

  // Runs rules-push with `args` and waits for its end.
  PushRun push(const std::vector<std::string>& args) {
    const fs::path output = scratch_.path() / ("push-" + std::to_string(++runs_) + ".out");
    return PushProcess(args, output, std::nullopt).wait(120s);
  }

  std::string writeInput(const std::string& fileName, const std::string& text) const {
    const fs::path path = scratch_.path() / fileName;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  std::unique_ptr<Fleet> fleet_;
  testsupport::TestMqttClient client_;
  testsupport::TempDir scratch_;

 private:
  int runs_ = 0;
  std::optional<testsupport::Received> take() {
    auto message = client_.waitMessage(100ms);
    if (message) {
      received_.push_back(*message);
    }
    return message;
  }

  std::vector<testsupport::Received> received_;
};

TEST_F(FleetTest, DeploysThroughTheBridgeToEachControllerAlone) {
  configureAll();
  const std::string text = readAll(EXAMPLE_RULE);
  const auto ruleName = [](std::size_t n) { return "kitchen-light-" + std::to_string(n); };
  std::set<std::string> answers;
  for (std::size_t n = 1; n <= kControllers; ++n) {
    client_.publish(controller(n).topic(protocol::kRulesTopicPrefix + ruleName(n)), text, 1);
    answers.insert(controller(n).topic(protocol::kStatusTopicPrefix + ruleName(n)));
    answers.insert(controller(n).topic(protocol::kRuleResultTopicPrefix + ruleName(n)));
  }
  const auto payloads = awaitTopics(answers);
  for (std::size_t n = 1; n <= kControllers; ++n) {
    const auto status = payloads.find(controller(n).topic(protocol::kStatusTopicPrefix + ruleName(n)));
    ASSERT_NE(status, payloads.end());
    EXPECT_EQ(status->second, crcText(text));
    const auto result = nlohmann::json::parse(
        payloads.at(controller(n).topic(protocol::kRuleResultTopicPrefix + ruleName(n))));
    EXPECT_EQ(result["outcome"], "installed") << result;
    // Each controller holds its own rule and no other's.
    const auto files = controller(n).ruleFiles();
    ASSERT_EQ(files.size(), 1u) << controller(n).prefix();
    EXPECT_EQ(files[0].rfind(ruleName(n) + "-__", 0), 0u) << files[0];
  }

  std::set<std::string> inventories;
  for (std::size_t n = 1; n <= kControllers; ++n) {
    client_.publish(controller(n).topic(protocol::kInventoryRequestTopic), "inv-" + ruleName(n), 1);
    inventories.insert(controller(n).topic(protocol::kInventoryTopic));
  }
  const auto pages = awaitTopics(inventories);
  for (std::size_t n = 1; n <= kControllers; ++n) {
    const auto page = nlohmann::json::parse(pages.at(controller(n).topic(protocol::kInventoryTopic)));
    EXPECT_EQ(page["request"], "inv-" + ruleName(n));
    ASSERT_EQ(page["rules"].size(), 1u) << page;
    EXPECT_EQ(page["rules"][0]["name"], ruleName(n));
    EXPECT_EQ(page["rules"][0]["state"], "current");
    // Every message crossed the bridges once: none came back round.
    EXPECT_EQ(countReceived(controller(n).topic(protocol::kRuleResultTopicPrefix + ruleName(n))), 1u);
    EXPECT_EQ(countReceived(controller(n).topic(protocol::kConfigurationResultTopic)), 1u);
  }
}

// What the central broker shows of a controller whose service ends, whose
// broker stops, and whose broker goes away without a word (a crash, a power
// cut, the link cut).
TEST_F(FleetTest, CentralBrokerShowsWhichControllerIsDown) {
  FleetController& crashed = controller(2);
  crashed.killService();
  EXPECT_TRUE(awaitPayload(crashed.topic(protocol::kStateTopic), "offline"))
      << "the service's will did not cross the bridge";

  // A broker that stops disconnects its clients: the service's will crosses
  // the bridge before the bridge's own.
  FleetController& stopped = controller(3);
  stopped.broker().stop();
  EXPECT_TRUE(awaitPayload(stopped.topic(protocol::kStateTopic), "offline"));
  EXPECT_TRUE(awaitPayload(stopped.linkTopic(), "0")) << "the bridge's will did not come";

  // A broker that vanishes takes the service's will with it: only the
  // bridge's will tells, and the state stays what the service said last.
  FleetController& vanished = controller(4);
  vanished.broker().kill();
  EXPECT_TRUE(awaitPayload(vanished.linkTopic(), "0")) << "the bridge's will did not come";
  testsupport::TestMqttClient late;
  late.connect(fleet_->central().url(), "fleet-late");
  late.subscribe(vanished.topic(protocol::kStateTopic), 1);
  const auto retained = late.waitMessage(patience(5s));
  ASSERT_TRUE(retained);
  EXPECT_TRUE(retained->retained);
  EXPECT_EQ(retained->payload, "waiting");

  // Back again, each service says its state anew.
  for (FleetController* back : {&stopped, &vanished}) {
    back->broker().start();
    EXPECT_TRUE(awaitPayload(back->linkTopic(), "1")) << back->prefix();
    EXPECT_TRUE(awaitPayload(back->topic(protocol::kStateTopic), "waiting")) << back->prefix();
  }
  crashed.startService();
  EXPECT_TRUE(awaitPayload(crashed.topic(protocol::kStateTopic), "waiting"));
}

bool contains(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

TEST_F(FleetTest, RulesPushDeploysPlansAndPrunesThroughTheCentralBroker) {
  const fs::path fleetFile = scratch_.path() / "fleet.txt";
  fleet_->writeFleetFile(fleetFile);
  std::vector<std::string> rules;
  for (const char* name : {"r1", "r2", "r3"}) {
    rules.push_back(writeInput(std::string(name) + ".js", "// " + std::string(name) + "\n"));
  }
  const auto withFleet = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--fleet", fleetFile.string()});
    return args;
  };

  std::vector<std::string> args = withFleet({"--configuration", EXAMPLE_STRUCTURE});
  args.insert(args.end(), rules.begin(), rules.end());
  PushRun run = push(args);
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  for (std::size_t n = 1; n <= kControllers; ++n) {
    EXPECT_TRUE(contains(run.output, controller(n).prefix() + ": r3: installed\n")) << run.output;
    EXPECT_EQ(rulesOf(controller(n).ruleFiles()), (std::vector<std::string>{"r1", "r2", "r3"}));
  }

  args = withFleet({"--check"});
  args.insert(args.end(), rules.begin(), rules.end());
  run = push(args);
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, controller(5).prefix() + ": r2: in place\n")) << run.output;

  // One controller stopped: it alone ends without results.
  controller(3).stopService();
  const std::string r4 = writeInput("r4.js", "// r4\n");
  run = push(withFleet({"--json", "--timeout", "2", rules[0], r4}));
  EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, R"("controller":"fleet/ctl-003","name":"r4","outcome":"no result")"))
      << run.output;
  EXPECT_TRUE(contains(run.output, R"("controller":"fleet/ctl-003","summary":{"no result":2},"exit":3})"))
      << run.output;
  for (const std::size_t n : {1, 2, 4, 5}) {
    EXPECT_TRUE(contains(run.output, "\"controller\":\"" + controller(n).prefix() +
                                         "\",\"summary\":{\"installed\":1,\"unchanged\":1},\"exit\":0}"))
        << run.output;
  }

  // Back again, every controller ends with r1, r2 and r4: r3 is pruned.
  controller(3).startService();
  fleet_->waitForStates({"ready"}, 20s, {3});
  run = push(withFleet({"--prune", rules[0], rules[1], r4}));
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  for (std::size_t n = 1; n <= kControllers; ++n) {
    EXPECT_TRUE(contains(run.output, controller(n).prefix() + ": r3: cleared\n")) << run.output;
    EXPECT_EQ(rulesOf(controller(n).ruleFiles()), (std::vector<std::string>{"r1", "r2", "r4"}));
  }
}

}  // namespace
}  // namespace e2e
