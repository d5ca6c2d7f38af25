// The built service against a real broker: start-up, configuration intake and
// every outcome of rule installation, seen from outside as the rule engine and
// the rule publisher see it.

#include <sys/mount.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "service_fixture.h"

namespace e2e {
namespace {

constexpr const char* kStructure = R"json({
  "templates": { "relay-6ch": { "cells": ["K1", "K2", "K3", "K4", "K5", "K6"] } },
  "elements": {
    "lamp1": { "device": "relay_7", "virtualDevice": "kitchen_light", "port": 3, "cells": ["K2"] },
    "fan2": { "device": "relay_9", "template": "relay-6ch" },
    "empty": { "device": "" }
  }
})json";

constexpr const char* kLampRule =
    "// 1900000000\n"
    "defineRule(\"lamp\", { whenChanged: \"DEVICE_NAME(lamp1)/CELL_NAME(lamp1)\",\n"
    "  then: function () { dev[\"VIRTUAL_DEVICE_NAME(lamp1)/PORT_NAME(lamp1)\"] = true; } });\n";
constexpr const char* kLampRuleTranslated =
    "// 1900000000\n"
    "defineRule(\"lamp\", { whenChanged: \"relay_7/K2\",\n"
    "  then: function () { dev[\"kitchen_light/3\"] = true; } });\n";

constexpr const char* kRulesSubscription = "/tl/bridge/rules/add/+ (QoS 0)";

std::string hashText(const std::string& text) {
  return std::to_string(std::hash<std::string>{}(text));
}

using Files = std::vector<std::string>;
using Statuses = std::map<std::string, std::string>;

class StartedServiceTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    startConfigured(kStructure);
  }
};

TEST_F(ServiceTest, StartsWithTheVersionRecordAndItsClientIdentifier) {
  startService();
  ASSERT_TRUE(eventually([&] {
    return broker_->log().find("as regulations_manager_" + std::to_string(service_->pid()) +
                               " (") != std::string::npos;
  })) << broker_->log();
  const std::string log = traceLog();
  const std::string firstRecord = log.substr(0, log.find('\n'));
  EXPECT_NE(firstRecord.find("INFO"), std::string::npos) << firstRecord;
  EXPECT_NE(firstRecord.find("main(): Version " RULES_PREPROCESSOR_VERSION), std::string::npos)
      << firstRecord;
}

TEST_F(ServiceTest, IgnoresRulesUntilTheFirstConfiguration) {
  startService();
  publishRule("early", "// early");
  configure(kStructure);
  sync();
  EXPECT_EQ(takeStatuses(), Statuses{});
  EXPECT_EQ(ruleFiles(), Files{});
}

TEST_F(ServiceTest, ConnectsWhenTheBrokerComesUpLater) {
  broker_->stop();
  startService();
  std::this_thread::sleep_for(1500ms);
  broker_->start();
  client_.connect(broker_->url(), "e2e-tester");
  client_.subscribe("/tl/bridge/rules/status/#", 1);
  waitForConfigurationSubscription(1);
  configure(kStructure);
  publishRule("late", "// late");
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"late", crcText("// late")}}));
  const std::string log = traceLog();
  EXPECT_LT(log.find("Не удалось подключиться к брокеру: " + broker_->url()),
            log.find("Соединение с брокером установлено: " + broker_->url()))
      << log;
}

TEST_F(StartedServiceTest, InstallsATranslatedRuleAndAcknowledgesIt) {
  publishRule("lamp", kLampRule);
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"lamp", crcText(kLampRule)}}));
  const std::string fileName = "lamp-__" + hashText(kLampRuleTranslated) + "__.js";
  ASSERT_EQ(ruleFiles(), Files{fileName});
  EXPECT_EQ(readRuleFile(fileName), kLampRuleTranslated);
  EXPECT_EQ(fs::status(rulesDir_ / fileName).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);

  const std::string log = traceLog();
  const std::string hash = hashText(kLampRuleTranslated);
  EXPECT_NE(log.find("Запоминаем хеш для lamp: " + hash), std::string::npos);
  EXPECT_NE(log.find(std::string("lamp:") + kLampRuleTranslated), std::string::npos);
  EXPECT_NE(log.find("Новый хеш для lamp (" + hash + "). Перезаписываем скрипт."),
            std::string::npos);
}

TEST_F(StartedServiceTest, PublishesTheCrcOfTheReceivedPayload) {
  publishRule("abc", "abc");
  publishRule("nul", std::string("x\0y", 3));
  sync();
  EXPECT_EQ(takeStatuses(),
            (Statuses{{"abc", "891568578"}, {"nul", crcText(std::string("x\0y", 3))}}));
  EXPECT_EQ(readRuleFile("nul-__" + hashText(std::string("x\0y", 3)) + "__.js"),
            std::string("x\0y", 3));
}

TEST_F(StartedServiceTest, AnUnchangedRuleTouchesNoFileAndIsAcknowledgedAgain) {
  // Without a timestamp line only the hash of the text decides.
  const std::string rule = "DEVICE_NAME(lamp1) without a timestamp";
  publishRule("lamp", rule);
  sync();
  takeStatuses();
  const Files installed = ruleFiles();
  publishRule("lamp", rule);
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"lamp", crcText(rule)}}));
  EXPECT_EQ(ruleFiles(), installed);
  const std::string log = traceLog();
  EXPECT_NE(log.find("Хеш для lamp (" + hashText("relay_7 without a timestamp") +
                     ") не изменился. Не обновляем."),
            std::string::npos);
  EXPECT_EQ(log.find("Обновляем хеш для lamp"), std::string::npos);
}

TEST_F(StartedServiceTest, ReplacesThePreviousVersion) {
  publishRule("r", "// 1900000000\nv1");
  sync();
  publishRule("r", "// 1900000001\nv2");
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"r", crcText("// 1900000001\nv2")}}));
  EXPECT_EQ(ruleFiles(), Files{installedName("r", "// 1900000001\nv2")});
  EXPECT_TRUE(waitForTrace("Обновляем хеш для r: " + hashText("// 1900000001\nv2")));
}

TEST_F(StartedServiceTest, SkipsAnOutdatedRule) {
  publishRule("r", "// 1900000000\nv1");
  sync();
  takeStatuses();
  publishRule("r", "// 1900000000\nsame time, other text");
  publishRule("r", "// 1800000000\nolder");
  publishRule("r", "no timestamp, and the installed one is in the future");
  sync();
  EXPECT_EQ(takeStatuses(), Statuses{});
  EXPECT_EQ(ruleFiles(), Files{installedName("r", "// 1900000000\nv1")});
  const std::string log = traceLog();
  EXPECT_NE(log.find("Правило r: новый ts 1900000000 не новее старого 1900000000 — "
                     "пропускаем обновление."),
            std::string::npos);
  EXPECT_NE(log.find("Правило r: новый ts 1800000000 не новее старого 1900000000"),
            std::string::npos);
  EXPECT_NE(log.find("Правило r: обновление пропущено (устаревший timestamp)."),
            std::string::npos);
}

TEST_F(StartedServiceTest, AnInstalledFileWithoutTimestampNeverMakesARuleOutdated) {
  writeRuleFile("r-__42__.js", "old text without timestamp");
  publishRule("r", "// 1000000000\nnew");
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"r", crcText("// 1000000000\nnew")}}));
  EXPECT_EQ(ruleFiles(), Files{installedName("r", "// 1000000000\nnew")});
}

TEST_F(StartedServiceTest, AnEmptyTranslationClearsTheRule) {
  publishRule("gone", "// 1700000000\nv1");
  sync();
  takeStatuses();
  publishRule("gone", "");
  publishRule("vanish", "DEVICE_NAME(empty)");
  sync();
  EXPECT_EQ(takeStatuses(),
            (Statuses{{"gone", "0"}, {"vanish", crcText("DEVICE_NAME(empty)")}}));
  EXPECT_EQ(ruleFiles(), Files{});
}

TEST_F(StartedServiceTest, AnUnresolvablePlaceholderFailsOnlyThatRule) {
  writeRuleFile("bad-__1__.js", "installed");
  publishRule("bad", "DEVICE_NAME(lamp1) DEVICE_NAME(nowhere)");
  publishRule("good", "DEVICE_NAME(lamp1)");
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"good", crcText("DEVICE_NAME(lamp1)")}}));
  EXPECT_EQ(ruleFiles(), (Files{"bad-__1__.js", installedName("good", "relay_7")}));
  EXPECT_NE(traceLog().find("Ошибка обработки правила для bad: Parse error!"),
            std::string::npos);
  EXPECT_EQ(traceLog().find("Запоминаем хеш для bad"), std::string::npos);
}

TEST_F(StartedServiceTest, UsesTheNewestConfigurationAndSurvivesABrokenOne) {
  configure("{ this is not json");
  configure(R"({"elements": )" + std::string(100000, '[') + std::string(100000, ']') + "}");
  configure(R"({"elements": {"lamp1": {"device": "relay_8"}}} // comment)");
  configure(R"({"elements": {"lamp1": {"port": 4294967296}}})");
  publishRule("still", "DEVICE_NAME(lamp1)");
  sync();
  EXPECT_EQ(ruleFiles(), Files{installedName("still", "relay_7")});
  const std::string log = traceLog();
  EXPECT_NE(log.find("Ошибка обработки конфигурации: [json.exception.parse_error.101]"),
            std::string::npos);
  EXPECT_NE(log.find("nests arrays and objects deeper than 32 levels"), std::string::npos);
  EXPECT_NE(log.find("elements.lamp1.port: expected an integer in the signed 32-bit "
                     "range, got 4294967296"),
            std::string::npos);

  configure(R"({"elements": {"lamp1": {"device": "relay_8"}}})");
  publishRule("changed", "DEVICE_NAME(lamp1)");
  sync();
  EXPECT_EQ(readRuleFile(installedName("changed", "relay_8")), "relay_8");
  EXPECT_EQ(countInBrokerLog(kRulesSubscription), 1u);
}

TEST_F(StartedServiceTest, RuleNamesAreNeverInterpretedAsPatternsOrCommands) {
  const std::vector<std::string> names = {
      "with blank", "quote\"d 'single'", "semi;touch pwned1", "$(touch pwned2)",
      "`touch pwned3`", "a.b", "paren(", "a(b)", "br[acket", "кухня-свет",
      "star*plus?", "back\\slash"};
  writeRuleFile("aXb-__5__.js", "// 1900000000\nother rule");
  for (const auto& name : names) {
    publishRule(name, "// 1000000000\nv1 " + name);
  }
  sync();
  for (const auto& name : names) {
    publishRule(name, "// 1000000001\nv2 " + name);
  }
  sync();
  Files expected = {"aXb-__5__.js"};
  Statuses statuses;
  for (const auto& name : names) {
    const std::string text = "// 1000000001\nv2 " + name;
    expected.push_back(installedName(name, text));
    statuses[name] = crcText(text);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ruleFiles(), expected);
  EXPECT_EQ(takeStatuses().size(), names.size());
  EXPECT_EQ(readRuleFile("aXb-__5__.js"), "// 1900000000\nother rule");
  for (const char* trap : {"pwned1", "pwned2", "pwned3"}) {
    EXPECT_FALSE(fs::exists(workDir_ / trap)) << trap;
  }
  EXPECT_EQ(traceLog().find("Ошибка"), std::string::npos);
}

TEST_F(StartedServiceTest, KeepsWorkingThroughABrokerRestart) {
  broker_->stop();
  broker_->start();
  client_.connect(broker_->url(), "e2e-tester");
  client_.subscribe("/tl/bridge/rules/status/#", 1);
  // The broker appends to its log: the second subscription is the one made
  // after the restart.
  ASSERT_TRUE(eventually([&] { return countInBrokerLog(kRulesSubscription) == 2; }))
      << broker_->log();
  publishRule("after-restart", "// after");
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"after-restart", crcText("// after")}}));
  EXPECT_TRUE(waitForTrace("Соединение с брокером потеряно: " + broker_->url()));
}

// A broker that stops answering (hung, or its network gone without a word)
// is noticed within a minute, and the link comes back when it answers again.
TEST_F(StartedServiceTest, NoticesAFrozenBrokerWithinAMinuteAndCarriesOnWhenItThaws) {
  broker_->freeze();
  EXPECT_TRUE(waitForTrace("Соединение с брокером потеряно: " + broker_->url() +
                               ": connection lost: the broker answered nothing for ",
                           60s))
      << traceLog();
  broker_->thaw();
  const std::string connected = "Соединение с брокером установлено: " + broker_->url();
  EXPECT_TRUE(eventually(
      [&] { return testsupport::countOccurrences(traceLog(), connected) == 2; }, 60s))
      << traceLog();
  client_.connect(broker_->url(), "e2e-tester-again");
  client_.subscribe("/tl/bridge/rules/status/#", 1);
  ASSERT_TRUE(eventually([&] { return countInBrokerLog(kRulesSubscription) == 2; }, 30s))
      << broker_->log();
  publishRule("after-thaw", "// after");
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"after-thaw", crcText("// after")}}));
}

// Faults of the rule directory: the service prepares nothing there, so the
// test mounts the directory as it needs before the service starts.
class RuleDirectoryFaultTest : public ServiceTest {
 protected:
  void mountTinyTmpfs() {
    ASSERT_EQ(::mount("tmpfs", rulesDir_.c_str(), "tmpfs", 0, "size=64k"), 0)
        << std::strerror(errno);
  }
  void makeReadOnly() {
    ASSERT_EQ(::mount(rulesDir_.c_str(), rulesDir_.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(::mount(nullptr, rulesDir_.c_str(), nullptr,
                      MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
              0)
        << std::strerror(errno);
  }
  void TearDown() override {
    ServiceTest::TearDown();
    ::umount2(rulesDir_.c_str(), MNT_DETACH);
  }
};

TEST_F(RuleDirectoryFaultTest, AFullDiskKeepsThePreviousVersion) {
  mountTinyTmpfs();
  writeRuleFile("r-__7__.js", "// 1000000000\nprevious");
  {
    std::ofstream filler(rulesDir_ / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  startService();
  configure(kStructure);
  const std::string text = "// 1000000001\n" + std::string(16384, 'n');
  publishRule("r", text);
  ASSERT_TRUE(waitForTrace("Create error /etc/wb-rules/" + installedName("r", text)));
  EXPECT_EQ(ruleFiles(), (Files{"filler", "r-__7__.js"}));
  EXPECT_EQ(readRuleFile("r-__7__.js"), "// 1000000000\nprevious");

  fs::remove(rulesDir_ / "filler");
  publishRule("r", text);
  sync();
  EXPECT_EQ(takeStatuses(), (Statuses{{"r", crcText(text)}}));
  EXPECT_EQ(ruleFiles(), Files{installedName("r", text)});
}

TEST_F(RuleDirectoryFaultTest, AReadOnlyDirectoryInstallsNothingAndSendsNoStatus) {
  writeRuleFile("r-__7__.js", "previous");
  makeReadOnly();
  startService();
  configure(kStructure);
  publishRule("r", "new");
  ASSERT_TRUE(waitForTrace("Create error /etc/wb-rules/" + installedName("r", "new")));
  publishRule("other", "other");
  ASSERT_TRUE(waitForTrace("Create error /etc/wb-rules/" + installedName("other", "other")));
  EXPECT_EQ(ruleFiles(), Files{"r-__7__.js"});
  EXPECT_EQ(client_.waitMessage(200ms), std::nullopt);
}

TEST_F(RuleDirectoryFaultTest, AMissingDirectoryIsReportedAndTheServiceGoesOn) {
  startService();
  configure(kStructure);
  fs::remove(rulesDir_);
  publishRule("r", "new");
  ASSERT_TRUE(waitForTrace("Create error /etc/wb-rules/" + installedName("r", "new")));
  EXPECT_EQ(client_.waitMessage(200ms), std::nullopt);
}

TEST_F(StartedServiceTest, InstallsTheExampleRuleAsValidJavaScript) {
  const std::string text = readAll(EXAMPLE_RULE);
  ASSERT_FALSE(text.empty());
  configure(readAll(EXAMPLE_STRUCTURE));
  publishRule("example", text);
  sync();
  ASSERT_EQ(takeStatuses().count("example"), 1u);
  const Files files = ruleFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(readRuleFile(files[0]).find("_NAME("), std::string::npos);
  if (std::system("command -v node >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "node is not installed";
  }
  const std::string check = "node --check '" + (rulesDir_ / files[0]).string() + "'";
  EXPECT_EQ(std::system(check.c_str()), 0) << readRuleFile(files[0]);
}

}  // namespace
}  // namespace e2e
