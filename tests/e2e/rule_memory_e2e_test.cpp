// Installed rules follow the IO structure: the service remembers each rule's
// text, translates it again when the IO structure changes, keeps that memory
// across a restart, and tells what is installed.

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <map>
#include <utility>

#include "service_fixture.h"

namespace e2e {
namespace {

using nlohmann::json;

const std::string kTwoLamps =
    R"({"elements": {"lamp1": {"device": "relay_7"}, "lamp2": {"device": "relay_8"}}})";
const std::string kLamp1Moved =
    R"({"elements": {"lamp1": {"device": "relay_9"}, "lamp2": {"device": "relay_8"}}})";
const std::string kLamp1Gone = R"({"elements": {"lamp2": {"device": "relay_8"}}})";

class RuleMemoryTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    observer_.connect(broker_->url(), "e2e-memory-observer");
    observer_.subscribe("/tl/bridge/rules/result/#", 1);
    observer_.subscribe("/tl/bridge/rules/status/#", 1);
    observer_.subscribe("/tl/bridge/configuration/result", 1);
    observer_.subscribe("/tl/bridge/rules/inventory", 1);
    startConfigured(kTwoLamps);
    expectConfigurationResult();
  }

  // Messages until one arrives on `topic`; the others are kept by topic.
  json waitFor(const std::string& topic) {
    if (const auto kept = seen_.find(topic); kept != seen_.end()) {
      json payload = json::parse(kept->second);
      seen_.erase(kept);
      return payload;
    }
    while (const auto message = observer_.waitMessage(20s)) {
      if (message->topic == topic) {
        return json::parse(message->payload);
      }
      seen_[message->topic] = message->payload;
    }
    ADD_FAILURE() << "nothing on " << topic;
    return {};
  }

  json expectConfigurationResult() { return waitFor("/tl/bridge/configuration/result"); }

  json install(const std::string& name, const std::string& text) {
    publishRule(name, text);
    json result = waitFor("/tl/bridge/rules/result/" + name);
    EXPECT_EQ(result["outcome"], "installed") << result;
    waitFor("/tl/bridge/rules/status/" + name);
    return result;
  }

  json result(const std::string& name) { return waitFor("/tl/bridge/rules/result/" + name); }

  ino_t inodeOf(const std::string& fileName) const {
    struct stat status {};
    return ::stat((rulesDir_ / fileName).c_str(), &status) == 0 ? status.st_ino : 0;
  }

  // The rules of a complete inventory, by name and file.
  std::map<std::pair<std::string, std::string>, json> inventory(const std::string& request) {
    client_.publish("/tl/bridge/rules/inventory/get", request, 1);
    std::map<std::pair<std::string, std::string>, json> rules;
    json page = waitFor("/tl/bridge/rules/inventory");
    EXPECT_EQ(page["request"], request);
    EXPECT_EQ(page["page"], 1);
    EXPECT_EQ(page["pages"], 1);
    for (const json& rule : page["rules"]) {
      rules[{rule["name"], rule["file"]}] = rule;
    }
    return rules;
  }

  testsupport::TestMqttClient observer_;
  std::map<std::string, std::string> seen_;
};

TEST_F(RuleMemoryTest, AReaddressedDeviceRetranslatesExactlyTheRulesNamingIt) {
  install("plain", "DEVICE_NAME(lamp1)");
  install("stamped", "// 1900000000\nDEVICE_NAME(lamp1) on");
  install("other", "DEVICE_NAME(lamp2)");
  const std::string otherFile = installedName("other", "relay_8");
  const ino_t otherInode = inodeOf(otherFile);
  ASSERT_NE(otherInode, 0u);

  configure(kLamp1Moved);
  EXPECT_EQ(expectConfigurationResult(),
            (json{{"outcome", "accepted"}, {"elements", 2}, {"kept", true}, {"retranslating", 3}}));
  EXPECT_EQ(result("plain"), (json{{"crc", crc32Of("DEVICE_NAME(lamp1)")},
                                   {"outcome", "retranslated"},
                                   {"file", installedName("plain", "relay_9")}}));
  EXPECT_EQ(result("stamped")["file"],
            installedName("stamped", "// 1900000000\nrelay_9 on"));
  EXPECT_EQ(expectConfigurationResult(), (json{{"outcome", "accepted"},
                                               {"elements", 2},
                                               {"kept", true},
                                               {"retranslated", 2},
                                               {"failed", 0}}));
  EXPECT_EQ(readRuleFile(installedName("plain", "relay_9")), "relay_9");
  EXPECT_EQ(inodeOf(otherFile), otherInode);
  EXPECT_EQ(ruleFiles(), (std::vector<std::string>{installedName("other", "relay_8"),
                                                   installedName("plain", "relay_9"),
                                                   installedName("stamped",
                                                                 "// 1900000000\nrelay_9 on")}));
  // The texts did not change: no status went out, and the timestamp stands.
  EXPECT_EQ(seen_.count("/tl/bridge/rules/status/plain"), 0u);
  EXPECT_EQ(seen_.count("/tl/bridge/rules/result/other"), 0u);
  publishRule("stamped", "// 1900000000\nDEVICE_NAME(lamp1) on");
  EXPECT_EQ(result("stamped")["outcome"], "unchanged");
  EXPECT_TRUE(waitForTrace("перетранслировано 2, не удалось 0"));
}

TEST_F(RuleMemoryTest, AnElementRemovedKeepsTheOldFileAndFails) {
  install("gone", "DEVICE_NAME(lamp1)");
  configure(kLamp1Gone);
  expectConfigurationResult();
  EXPECT_EQ(result("gone"),
            (json{{"crc", crc32Of("DEVICE_NAME(lamp1)")},
                  {"outcome", "failed"},
                  {"reason", "the placeholder key \"lamp1\" cannot be resolved"}}));
  EXPECT_EQ(expectConfigurationResult()["failed"], 1);
  EXPECT_EQ(ruleFiles(), std::vector<std::string>{installedName("gone", "relay_7")});
  EXPECT_TRUE(waitForTrace("Правило gone не транслировано заново")) << traceLog();
}

TEST_F(RuleMemoryTest, TheStoreSurvivesARestart) {
  install("kept", "DEVICE_NAME(lamp1)");
  ASSERT_TRUE(service_->stop(SIGTERM, 10s));
  service_.reset();
  startService();
  waitForConfigurationSubscription(2);
  configure(kLamp1Moved);
  EXPECT_EQ(result("kept")["outcome"], "retranslated");
  EXPECT_EQ(ruleFiles(), std::vector<std::string>{installedName("kept", "relay_9")});
}

TEST_F(RuleMemoryTest, TheInventoryReportsEachState) {
  install("current", "DEVICE_NAME(lamp2)");
  install("stale", "DEVICE_NAME(lamp1)");
  install("modified", "x");
  install("missing", "y");
  writeRuleFile(installedName("modified", "x"), "edited by hand");
  fs::remove(rulesDir_ / installedName("missing", "y"));
  writeRuleFile(installedName("unknown", "z"), "z");
  configure(kLamp1Gone);
  expectConfigurationResult();
  EXPECT_EQ(expectConfigurationResult()["failed"], 1);

  const auto rules = inventory("inv-1");
  const auto stateOf = [&rules](const std::string& name, const std::string& text) {
    const auto found = rules.find({name, installedName(name, text)});
    return found == rules.end() ? json() : found->second;
  };
  EXPECT_EQ(rules.size(), 5u);
  EXPECT_EQ(stateOf("current", "relay_8")["state"], "current");
  EXPECT_EQ(stateOf("current", "relay_8")["crc"], crc32Of("DEVICE_NAME(lamp2)"));
  EXPECT_EQ(stateOf("stale", "relay_7")["state"], "stale");
  EXPECT_EQ(stateOf("stale", "relay_7")["reason"],
            "the placeholder key \"lamp1\" cannot be resolved");
  EXPECT_EQ(stateOf("modified", "x")["state"], "modified");
  EXPECT_EQ(stateOf("missing", "y")["state"], "missing");
  EXPECT_EQ(stateOf("unknown", "z")["state"], "unknown");

  client_.publish("/tl/bridge/rules/inventory/get", std::string(65, 'i'), 1);
  const json refused = waitFor("/tl/bridge/rules/inventory");
  EXPECT_TRUE(refused.contains("error")) << refused;
  EXPECT_TRUE(refused["rules"].empty());
}

}  // namespace
}  // namespace e2e
