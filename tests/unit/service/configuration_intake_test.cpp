// Configuration intake: which payloads replace the IO structure, which leave
// every piece of state as it was, when the rules topic is opened, and the
// IO structure kept for the next start.

#include "configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "saved_configuration.h"
#include "service_test_support.h"

namespace talvoro {
namespace {

constexpr const char* kLamp = R"({"elements": {"lamp1": {"device": "relay_7", "cells": ["K2"]}}})";

class ConfigurationIntakeTest : public ::testing::Test {
 protected:
  Configuration::Intake take(const std::string& text) {
    return configuration_.take(text, [this] { ++rulesTopicOpened_; });
  }

  std::string deviceOf(const std::string& key) const {
    const auto found = configuration_.structure().find(key);
    return found == configuration_.structure().end() ? "(none)" : found->second->deviceName;
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

  servicetest::TraceCapture trace_;
  Configuration configuration_;
  int rulesTopicOpened_ = 0;
};

TEST_F(ConfigurationIntakeTest, FirstValidConfigurationIsTakenOverAndOpensTheRulesTopic) {
  EXPECT_FALSE(configuration_.configured());
  EXPECT_EQ(take(kLamp), Configuration::Intake::Accepted);
  EXPECT_EQ(deviceOf("lamp1"), "relay_7");
  EXPECT_TRUE(configuration_.configured());
  EXPECT_EQ(rulesTopicOpened_, 1);
}

TEST_F(ConfigurationIntakeTest, TheSamePayloadAgainIsSkippedAndADifferentOneIsNew) {
  take(kLamp);
  fillTemplateCache();
  EXPECT_EQ(take(kLamp), Configuration::Intake::Unchanged);
  EXPECT_FALSE(templateCacheEmpty()) << "a skipped configuration cleaned the template cache";
  // Whitespace alone makes another configuration, and A, B, A are all new.
  EXPECT_EQ(take(std::string(kLamp) + "\n"), Configuration::Intake::Accepted);
  EXPECT_TRUE(templateCacheEmpty());
  EXPECT_EQ(take(kLamp), Configuration::Intake::Accepted);
}

TEST_F(ConfigurationIntakeTest, BrokenPayloadsLeaveEveryPieceOfStateAsItWas) {
  take(kLamp);
  for (const std::string& broken : std::vector<std::string>{
           "", "{", "{\"elements\": {}} trailing", "// comment\n{\"elements\": {}}",
        "{\"elements\": {} /* comment */}", "[1, 2]",
        "{\"elements\": {\"x\": {\"port\": \"3\"}}}", std::string(100000, '[')}) {
    EXPECT_ANY_THROW(take(broken)) << broken.substr(0, 40);
    EXPECT_EQ(deviceOf("lamp1"), "relay_7") << broken.substr(0, 40);
    EXPECT_EQ(configuration_.structure().size(), 1u) << broken.substr(0, 40);
  }
  // The hash of the accepted text is still the one compared with.
  EXPECT_EQ(take(kLamp), Configuration::Intake::Unchanged);
}

TEST_F(ConfigurationIntakeTest, ABrokenFirstConfigurationOrAFailedSubscriptionOpensNothing) {
  EXPECT_ANY_THROW(take("{ not json"));
  EXPECT_FALSE(configuration_.configured());
  EXPECT_THROW(configuration_.take(kLamp, [] { throw std::runtime_error("link down"); }),
               std::runtime_error);
  EXPECT_FALSE(configuration_.configured());
  EXPECT_TRUE(configuration_.structure().empty());
  EXPECT_EQ(take(kLamp), Configuration::Intake::Accepted);
  EXPECT_TRUE(configuration_.configured());
}

TEST_F(ConfigurationIntakeTest, OnlyTheFirstAcceptedConfigurationOpensTheRulesTopic) {
  take(kLamp);
  EXPECT_EQ(take("{}"), Configuration::Intake::Accepted);
  EXPECT_TRUE(configuration_.structure().empty());
  take(kLamp);
  EXPECT_EQ(rulesTopicOpened_, 1);
}

TEST_F(ConfigurationIntakeTest, EveryMessageEndsWithAResultForItsPublisher) {
  const auto payload = [](const std::string& text) {
    return std::vector<char>(text.begin(), text.end());
  };
  const auto open = [] {};
  EXPECT_EQ(configuration_.receive(payload(kLamp), open).payload,
            R"({"elements":1,"kept":false,"outcome":"accepted"})");
  EXPECT_EQ(configuration_.receive(payload(kLamp), open).payload,
            R"({"elements":1,"kept":false,"outcome":"unchanged"})");
  const Publication rejected = configuration_.receive(payload("{"), open);
  EXPECT_EQ(rejected.topic, "/tl/bridge/configuration/result");
  EXPECT_NE(rejected.payload.find(R"("outcome":"rejected")"), std::string::npos);
  EXPECT_NE(rejected.payload.find(R"("elements":1)"), std::string::npos);
  EXPECT_NE(trace_.text().find("Ошибка обработки конфигурации: "), std::string::npos);
}

std::vector<char> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

TEST(KeptConfigurationTest, TheResultSaysWhetherItIsKeptAndTheSameTextTriesAgain) {
  servicetest::TraceCapture trace;
  testsupport::TempDir dir;
  // Not there yet: the save fails as on a state directory that is gone.
  const SavedConfiguration saved(dir.path().string() + "/state/");
  Configuration configuration([&saved](std::string_view text) { saved.save(text); });
  const auto open = [] {};
  EXPECT_EQ(configuration.receive(bytesOf(kLamp), open).payload,
            R"({"elements":1,"kept":false,"outcome":"accepted"})");
  EXPECT_EQ(trace.countNew("Структура ввода-вывода не сохранена для следующего запуска: "), 1u);

  std::filesystem::create_directory(dir.path() / "state");
  EXPECT_EQ(configuration.receive(bytesOf(kLamp), open).payload,
            R"({"elements":1,"kept":true,"outcome":"unchanged"})");
  EXPECT_EQ(saved.load(), kLamp);
  // A broken text leaves the kept structure in use.
  EXPECT_NE(configuration.receive(bytesOf("{"), open).payload.find(R"("kept":true)"),
            std::string::npos);
}

TEST(KeptConfigurationTest, ReadsOnlyARegularFileOfBoundedSizeAndSweepsCutOffSaves) {
  testsupport::TempDir dir;
  const SavedConfiguration saved(dir.path().string() + "/");
  EXPECT_EQ(saved.load(), std::nullopt);
  // Neither may hold up the start: a FIFO without a writer, an endless device.
  ASSERT_EQ(::mkfifo(saved.path().c_str(), 0644), 0);
  EXPECT_THROW(saved.load(), files::FileError);
  std::filesystem::remove(saved.path());
  std::filesystem::create_symlink("/dev/zero", saved.path());
  EXPECT_THROW(saved.load(), files::FileError);
  std::filesystem::remove(saved.path());

  servicetest::writeFile(dir.path() / ".io-structure.json-Ab12Cd", "cut off");
  servicetest::writeFile(dir.path() / ".io-structure.json-notours", "foreign");
  const files::Swept swept = saved.sweep();
  EXPECT_EQ(swept.removed,
            std::vector<std::string>{(dir.path() / ".io-structure.json-Ab12Cd").string()});
  EXPECT_TRUE(swept.failures.empty());
  EXPECT_TRUE(std::filesystem::exists(dir.path() / ".io-structure.json-notours"));
  saved.save(kLamp);
  EXPECT_EQ(saved.load(), kLamp);
}

}  // namespace
}  // namespace talvoro
