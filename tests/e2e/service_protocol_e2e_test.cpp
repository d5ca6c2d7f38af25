// What a publisher learns from the service besides the status: a result for
// every rule and every configuration message.

#include <nlohmann/json.hpp>

#include <set>

#include "service_fixture.h"

namespace e2e {
namespace {

using nlohmann::json;

constexpr const char* kStructure = R"({"elements": {"lamp1": {"device": "relay_7"}}})";

class ProtocolTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    observer_.connect(broker_->url(), "e2e-observer");
    observer_.subscribe("/tl/bridge/rules/result/#", 1);
    observer_.subscribe("/tl/bridge/configuration/result", 1);
    startConfigured(kStructure);
  }

  // The next result, as topic and parsed payload.
  std::pair<std::string, json> nextResult() {
    const auto message = observer_.waitMessage(10s);
    if (!message) {
      ADD_FAILURE() << "no result";
      return {};
    }
    return {message->topic, json::parse(message->payload)};
  }

  json ruleResult(const std::string& name, const std::string& text) {
    publishRule(name, text);
    auto [topic, result] = nextResult();
    EXPECT_EQ(topic, "/tl/bridge/rules/result/" + name);
    return result;
  }

  testsupport::TestMqttClient observer_;
};

TEST_F(ProtocolTest, EveryRuleMessageGetsAResult) {
  ASSERT_EQ(nextResult().second,
            (json{{"outcome", "accepted"}, {"elements", 1}, {"kept", true}}));
  const std::string rule = "DEVICE_NAME(lamp1)";
  EXPECT_EQ(ruleResult("r", rule), (json{{"crc", crc32Of(rule)},
                                         {"outcome", "installed"},
                                         {"file", installedName("r", "relay_7")}}));
  EXPECT_EQ(ruleResult("r", rule), (json{{"crc", crc32Of(rule)}, {"outcome", "unchanged"}}));
  EXPECT_EQ(ruleResult("r", ""), (json{{"crc", 0}, {"outcome", "cleared"}}));

  EXPECT_EQ(ruleResult("t", "// 1900000000\nnew")["outcome"], "installed");
  // Sent again after a lost result: the same text is never outdated.
  EXPECT_EQ(ruleResult("t", "// 1900000000\nnew")["outcome"], "unchanged");
  EXPECT_EQ(ruleResult("t", "// 1800000000\nold"),
            (json{{"crc", crc32Of("// 1800000000\nold")},
                  {"outcome", "outdated"},
                  {"reason", "the installed version has the timestamp 1900000000, this one "
                             "1800000000"}}));
  EXPECT_EQ(ruleResult("bad", "DEVICE_NAME(nowhere)"),
            (json{{"crc", crc32Of("DEVICE_NAME(nowhere)")},
                  {"outcome", "rejected"},
                  {"reason", "the placeholder key \"nowhere\" cannot be resolved"}}));
  const std::string longName(228, 'n');
  EXPECT_EQ(ruleResult(longName, "x")["outcome"], "rejected");

  fs::create_directory(rulesDir_ / installedName("blocked", "x"));
  EXPECT_EQ(ruleResult("blocked", "x"),
            (json{{"crc", crc32Of("x")},
                  {"outcome", "failed"},
                  {"reason", "the name is taken by an entry that is not a rule file"}}));
}

TEST_F(ProtocolTest, EveryConfigurationGetsAResult) {
  ASSERT_EQ(nextResult().second["outcome"], "accepted");
  client_.publish(kConfigurationTopic, kStructure, 1);
  EXPECT_EQ(nextResult().second,
            (json{{"outcome", "unchanged"}, {"elements", 1}, {"kept", true}}));
  client_.publish(kConfigurationTopic, "[1, 2]", 1);
  EXPECT_EQ(nextResult().second, (json{{"outcome", "rejected"},
                                       {"elements", 1},
                                       {"kept", true},
                                       {"reason", "(document): expected an object, got [1,2]"}}));
}

// The retained state through a start, a broker restart, a kill and a
// clean stop.
TEST_F(ServiceTest, AnnouncesItsStateOnTheStateTopic) {
  testsupport::TestMqttClient observer;
  auto watch = [&] {
    observer.connect(broker_->url(), "e2e-state-observer");
    observer.subscribe("/tl/bridge/rules/state", 1);
  };
  // The states seen until `state` comes.
  auto statesUntil = [&](const std::string& state) {
    std::string seen;
    while (const auto message = observer.waitMessage(20s)) {
      seen += message->payload + " ";
      if (message->payload == state) {
        break;
      }
    }
    return seen;
  };
  watch();
  startService();
  EXPECT_EQ(statesUntil("waiting"), "waiting ");
  configure(kStructure);
  EXPECT_EQ(statesUntil("ready"), "ready ");

  broker_->stop();
  broker_->start();
  client_.connect(broker_->url(), "e2e-tester");
  // The broker publishes the will as it shuts down, if it still can.
  watch();
  const std::string afterRestart = statesUntil("ready");
  EXPECT_TRUE(afterRestart == "ready " || afterRestart == "offline ready ") << afterRestart;

  ::kill(service_->pid(), SIGKILL);
  service_->waitExit(10s);
  EXPECT_EQ(statesUntil("offline"), "offline ");

  // The IO structure kept from the run before: ready without it being sent.
  startService();
  EXPECT_EQ(statesUntil("ready"), "ready ");
  service_->stop(SIGTERM, 5s);
  service_.reset();
  EXPECT_EQ(statesUntil("offline"), "offline ");
}

// A burst far larger than the publication window (two, here; the library
// buffers a thousand): every rule gets its status and its result, and a stop
// in the middle of the next burst still ends with "offline", after the
// statuses of every rule installed.
TEST_F(ServiceTest, AnswersEveryRuleThroughAWindowFarSmallerThanABurstAndSaysOfflineAtTheStop) {
  constexpr int kRules = 400;
  testsupport::TestMqttClient observer;
  observer.connect(broker_->url(), "e2e-observer");
  observer.subscribe("/tl/bridge/rules/result/#", 1);
  ::setenv("MQTT_PUBLICATION_WINDOW", "2", 1);
  startConfigured(kStructure);
  ::unsetenv("MQTT_PUBLICATION_WINDOW");
  const auto burst = [&](const std::string& prefix) {
    for (int i = 0; i < kRules; ++i) {
      publishRule(prefix + std::to_string(i), "DEVICE_NAME(lamp1) " + std::to_string(i));
    }
  };
  burst("first-");
  std::set<std::string> results;
  while (results.size() < static_cast<std::size_t>(kRules)) {
    const auto result = observer.waitMessage(60s);
    ASSERT_TRUE(result.has_value()) << results.size() << " results of " << kRules;
    results.insert(result->topic);
  }
  sync();
  EXPECT_EQ(takeStatuses().size(), static_cast<std::size_t>(kRules));

  testsupport::TestMqttClient state;
  state.connect(broker_->url(), "e2e-state-observer");
  state.subscribe("/tl/bridge/rules/state", 1);
  burst("second-");
  ASSERT_TRUE(observer.waitMessage(60s).has_value());
  service_->stop(SIGTERM, 20s);
  service_.reset();
  std::string lastState;
  while (const auto message = state.waitMessage(5s)) {
    lastState = message->payload;
  }
  EXPECT_EQ(lastState, "offline");
  // Every status went out before "offline"; the test client has them all.
  std::map<std::string, std::string> statuses;
  while (const auto message = client_.waitMessage(1s)) {
    statuses[message->topic.substr(std::string("/tl/bridge/rules/status/").size())] =
        message->payload;
  }
  std::size_t installed = 0;
  for (const std::string& file : ruleFiles()) {
    if (file.rfind("second-", 0) == 0) {
      ++installed;
      const std::string rule = file.substr(0, file.find("-__"));
      EXPECT_EQ(statuses.count(rule), 1u) << rule << " installed without a status";
    }
  }
  EXPECT_GT(installed, 0u);
}

}  // namespace
}  // namespace e2e
