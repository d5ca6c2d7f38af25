// Configuration intake on the service's own code with a real client and
// broker: which payloads replace the IO structure, which leave every piece of
// state as it was, and when the rules topic is subscribed.

#include "main.cpp"

#include "service_test_support.h"
#include "testsupport/eventually.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/text_and_namespaces.h"

namespace talvoro {
namespace {

using namespace std::chrono_literals;

constexpr const char* kLamp = R"({"elements": {"lamp1": {"device": "relay_7", "cells": ["K2"]}}})";
constexpr const char* kRulesSubscription = "/tl/bridge/rules/add/+ (QoS 0)";

std::vector<char> bytesOf(const std::string& text) {
  return std::vector<char>(text.begin(), text.end());
}

class ConfigurationIntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TESTSUPPORT_REQUIRE_MOSQUITTO();
    broker_ = std::make_unique<testsupport::MosquittoBroker>();
    ::setenv("MQTT_BROKER_URL", broker_->url().c_str(), 1);
    client_ = std::make_unique<mosquitto::MqttAsyncWrapper>("intake-test");
    client_->Connect(true, nullptr, nullptr);
    // Intake must run while connected, so that the broker sees every
    // subscription in the order the service makes them.
    ASSERT_TRUE(testsupport::eventually([&] {
      return broker_->log().find("Sending CONNACK to intake-test") != std::string::npos;
    }));
    m_configuration.clear();
    m_structure_hash = 0;
  }

  void TearDown() override {
    // Paho leaks a subscription request still unanswered when the client is
    // destroyed; an acknowledged request after it means all are answered.
    if (client_) {
      client_->Subscribe("/barrier", mosquitto::Qos::AtMostOnce, true, nullptr, nullptr);
    }
    client_.reset();
    m_configuration.clear();
    m_structure_hash = 0;
  }

  void take(const std::string& payload) {
    handleConfiguration(bytesOf(payload), *client_, needRulesSubscription_);
  }

  std::size_t rulesSubscriptions() const {
    return testsupport::countOccurrences(broker_->log(), kRulesSubscription);
  }

  static const IoInfo* element(const std::string& key) {
    const auto found = m_configuration.find(key);
    return found == m_configuration.end() ? nullptr : found->second.get();
  }

  static void fillTemplateCache() {
    std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
    detail::templateCacheStorage()["marker"] =
        std::make_shared<const TemplateCacheEntry>(TemplateCacheEntry{"marker", {}});
  }

  static bool templateCacheEmpty() {
    std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
    return detail::templateCacheStorage().empty();
  }

  std::unique_ptr<testsupport::MosquittoBroker> broker_;
  std::unique_ptr<mosquitto::MqttAsyncWrapper> client_;
  bool needRulesSubscription_ = true;
};

TEST_F(ConfigurationIntakeTest, FirstValidConfigurationIsTakenOverAndOpensTheRulesTopic) {
  take(kLamp);
  ASSERT_NE(element("lamp1"), nullptr);
  EXPECT_EQ(element("lamp1")->deviceName, "relay_7");
  EXPECT_EQ(m_structure_hash, std::hash<std::string>{}(kLamp));
  EXPECT_FALSE(needRulesSubscription_);
  EXPECT_TRUE(testsupport::eventually([&] { return rulesSubscriptions() == 1; }))
      << broker_->log();
}

TEST_F(ConfigurationIntakeTest, TheSamePayloadAgainIsSkippedWithoutParsing) {
  take(kLamp);
  const IoInfo* before = element("lamp1");
  fillTemplateCache();
  take(kLamp);
  EXPECT_EQ(element("lamp1"), before) << "the element map was rebuilt";
  EXPECT_FALSE(templateCacheEmpty()) << "the template cache was cleaned up";
}

TEST_F(ConfigurationIntakeTest, APayloadDifferingOnlyInWhitespaceIsANewConfiguration) {
  take(kLamp);
  const IoInfo* before = element("lamp1");
  fillTemplateCache();
  const std::string spaced = std::string(kLamp) + "\n";
  take(spaced);
  EXPECT_NE(element("lamp1"), before);
  EXPECT_TRUE(templateCacheEmpty());
  EXPECT_EQ(m_structure_hash, std::hash<std::string>{}(spaced));
}

TEST_F(ConfigurationIntakeTest, BrokenPayloadsLeaveEveryPieceOfStateAsItWas) {
  take(kLamp);
  const IoInfo* before = element("lamp1");
  const std::size_t hash = m_structure_hash;
  for (const std::string broken :
       {"", "{", "{\"elements\": {}} trailing", "// comment\n{\"elements\": {}}",
        "{\"elements\": {} /* comment */}", "[1, 2]", "{\"elements\": {\"x\": {\"port\": \"3\"}}}"}) {
    EXPECT_ANY_THROW(take(broken)) << broken;
    EXPECT_EQ(element("lamp1"), before) << broken;
    EXPECT_EQ(m_configuration.size(), 1u) << broken;
    EXPECT_EQ(m_structure_hash, hash) << broken;
  }
}

TEST_F(ConfigurationIntakeTest, ABrokenFirstConfigurationDoesNotOpenTheRulesTopic) {
  EXPECT_ANY_THROW(take("{ not json"));
  EXPECT_TRUE(needRulesSubscription_);
  EXPECT_EQ(m_structure_hash, 0u);
  take(kLamp);
  EXPECT_FALSE(needRulesSubscription_);
}

TEST_F(ConfigurationIntakeTest, AConfigurationWithoutElementsEmptiesTheStructure) {
  take(kLamp);
  take("{}");
  EXPECT_TRUE(m_configuration.empty());
  EXPECT_EQ(m_structure_hash, std::hash<std::string>{}("{}"));
}

TEST_F(ConfigurationIntakeTest, OnlyTheFirstAcceptedConfigurationSubscribes) {
  take(kLamp);
  take("{}");
  take(kLamp);
  // The broker handles one client's requests in order: once this one is
  // acknowledged, every subscription made before it is in the log.
  client_->Subscribe("/probe", mosquitto::Qos::AtMostOnce, true, nullptr, nullptr);
  EXPECT_EQ(rulesSubscriptions(), 1u) << broker_->log();
}

}  // namespace
}  // namespace talvoro
