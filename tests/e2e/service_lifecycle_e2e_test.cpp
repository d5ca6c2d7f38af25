// Start, stop, crash and restart of the built service, and a second
// instance on the same rule directory: the rule directory always ends with
// exactly one version of every rule. With a persistent session, what is
// published while the service is stopped is installed at its next start.

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "testsupport/notify_socket.h"
#include "testsupport/text_and_namespaces.h"

#include "service_fixture.h"

namespace e2e {
namespace {

using Files = std::vector<std::string>;

constexpr const char* kStructure = R"({"elements": {"lamp1": {"device": "relay_7"}}})";

bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

class LifecycleTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    startConfigured(kStructure);
  }
};

TEST_F(LifecycleTest, StopsCleanlyOnSigtermAndKeepsTheStoryOnStandardError) {
  publishRule("r", "// 1900000000\nv1");
  publishRule("bad", "DEVICE_NAME(nowhere)");
  sync();
  const pid_t pid = service_->pid();
  // Well within the few seconds a supervisor waits (idle, it takes a fraction
  // of a second); a loaded test machine gets a margin.
  EXPECT_TRUE(exitedWith(service_->stop(SIGTERM, 5s), 0));
  service_.reset();
  EXPECT_TRUE(waitForTrace("Получен сигнал Terminated, сервис останавливается"));
  EXPECT_TRUE(eventually([&] {
    return broker_->log().find("Client regulations_manager_" + std::to_string(pid) +
                               " disconnected.") != std::string::npos;
  })) << broker_->log();
  EXPECT_EQ(ruleFiles(), Files{installedName("r", "// 1900000000\nv1")});
  // The start, every error and the reason of the exit, as a supervisor's
  // journal keeps them; routine records stay in the trace log.
  const std::string standardError = readAll(workDir_ / kStandardErrorFile);
  for (const char* record :
       {"Version v", "Ошибка обработки правила для bad: Parse error!",
        "Получен сигнал Terminated, сервис останавливается"}) {
    EXPECT_NE(standardError.find(record), std::string::npos) << record << "\n" << standardError;
  }
  EXPECT_EQ(standardError.find("Новый хеш для r"), std::string::npos) << standardError;
}

TEST_F(LifecycleTest, AHangupStopsItAsCleanlyAsSigterm) {
  EXPECT_TRUE(exitedWith(service_->stop(SIGHUP, 5s), 0));
  service_.reset();
  EXPECT_TRUE(waitForTrace("Получен сигнал Hangup, сервис останавливается"));
}

TEST_F(LifecycleTest, TheLastIoStructureIsKeptForTheNextStart) {
  service_->stop(SIGTERM, 5s);
  startService();
  // No configuration is sent again: the kept one opens the rules topic.
  ASSERT_TRUE(eventually([&] {
    return countInBrokerLog("/tl/bridge/rules/add/+ (QoS 0)") == 2;
  })) << broker_->log();
  publishRule("r", "DEVICE_NAME(lamp1)");
  sync();
  EXPECT_EQ(ruleFiles(), Files{installedName("r", "relay_7")});
  EXPECT_TRUE(waitForTrace("Структура ввода-вывода восстановлена из "
                           "/var/lib/rules-preprocessor/state.db: элементов 1"));
}

TEST_F(LifecycleTest, AnIoStructureKeptInAFileByAnEarlierVersionIsTakenOverOnce) {
  service_->stop(SIGTERM, 5s);
  const fs::path state = workDir_ / "state";
  for (const auto& entry : fs::directory_iterator(state)) {
    fs::remove(entry.path());
  }
  std::ofstream(state / "io-structure.json") << R"({"elements": {"lamp1": {"device": "relay_5"}}})";
  startService();
  ASSERT_TRUE(eventually([&] {
    return countInBrokerLog("/tl/bridge/rules/add/+ (QoS 0)") == 2;
  })) << broker_->log();
  EXPECT_TRUE(waitForTrace("Структура ввода-вывода перенесена из "
                           "/var/lib/rules-preprocessor/io-structure.json в хранилище состояния"));
  EXPECT_FALSE(fs::exists(state / "io-structure.json"));
  // From now on the store keeps it.
  service_->stop(SIGTERM, 5s);
  startService();
  ASSERT_TRUE(eventually([&] {
    return countInBrokerLog("/tl/bridge/rules/add/+ (QoS 0)") == 3;
  })) << broker_->log();
  publishRule("r", "DEVICE_NAME(lamp1)");
  sync();
  EXPECT_EQ(ruleFiles(), Files{installedName("r", "relay_5")});
}

TEST_F(LifecycleTest, ASecondInstanceOnTheSameDirectoryExitsAndTheFirstGoesOn) {
  const fs::path secondLogs = scratch_.path() / "second-logs";
  fs::create_directory(secondLogs);
  ServiceProcess second(broker_->url(), rulesDir_, secondLogs, workDir_);
  EXPECT_TRUE(exitedWith(second.waitExit(10s), 1));
  EXPECT_NE(readAll(*fs::directory_iterator(secondLogs / "rules-preprocessor"))
                .find("занят другим запущенным экземпляром сервиса"),
            std::string::npos);
  publishRule("r", "v1");
  sync();
  EXPECT_EQ(ruleFiles(), Files{installedName("r", "v1")});
}

TEST_F(LifecycleTest, AKillDuringABurstLeavesOneVersionOfEveryRule) {
  const std::vector<std::string> rules = {"a", "b", "c"};
  auto text = [](const std::string& rule, int version) {
    return "// " + std::to_string(1900000000 + version) + "\n" + rule + " " +
           std::to_string(version);
  };
  for (int version = 0; version < 200; ++version) {
    for (const auto& rule : rules) {
      publishRule(rule, text(rule, version));
    }
  }
  ASSERT_TRUE(eventually([&] { return ruleFiles().size() >= rules.size(); }));
  ::kill(service_->pid(), SIGKILL);
  service_->waitExit(10s);

  startService();
  waitForConfigurationSubscription(2);
  client_.publish(kConfigurationTopic, R"({"elements": {}})", 1);
  ASSERT_TRUE(eventually([&] {
    return countInBrokerLog("/tl/bridge/rules/add/+ (QoS 0)") == 2;
  }));
  for (const auto& rule : rules) {
    publishRule(rule, text(rule, 1000));
  }
  sync();
  Files expected;
  for (const auto& rule : rules) {
    expected.push_back(installedName(rule, text(rule, 1000)));
  }
  EXPECT_EQ(ruleFiles(), expected);
}

TEST_F(LifecycleTest, ABurstIsHandledAsOneMessageAfterTheOther) {
  // Published at once, these wait together and are committed in batches.
  const std::string newest = "// 1900000002\nx v2";
  for (const std::string text : {"// 1900000001\nx v1", "// 1900000000\nx v0", newest.c_str()}) {
    publishRule("x", text);
    for (int i = 0; i < 20; ++i) {
      publishRule("other" + std::to_string(i), text);
    }
  }
  sync();
  EXPECT_EQ(takeStatuses().at("x"), crcText(newest));
  const Files files = ruleFiles();
  EXPECT_EQ(std::count(files.begin(), files.end(), installedName("x", newest)), 1);
  EXPECT_EQ(files.size(), 21u);
  EXPECT_TRUE(waitForTrace("Правило x: новый ts 1900000000 не новее старого 1900000001"));
}

// Idle, the receive loop sleeps until a message, a change of the link or a
// stop signal comes, instead of looking for them several times a second.
TEST_F(LifecycleTest, AnIdleServiceSleeps) {
  const fs::path mainThread =
      "/proc/" + std::to_string(service_->pid()) + "/task/" + std::to_string(service_->pid());
  const auto wakeUps = [&] {
    const std::string status = readAll(mainThread / "status");
    const std::string field = "voluntary_ctxt_switches:";
    const auto at = status.find(field);
    return at == std::string::npos ? -1L : std::stol(status.substr(at + field.size()));
  };
  std::this_thread::sleep_for(1s);
  const long before = wakeUps();
  ASSERT_GE(before, 0);
  std::this_thread::sleep_for(10s);
  EXPECT_LT(wakeUps() - before, 10);
  // And a stop signal still wakes it at once.
  EXPECT_TRUE(exitedWith(service_->stop(SIGTERM, 5s), 0));
  service_.reset();
}

TEST_F(LifecycleTest, RefusesARuleWithoutAName) {
  publishRule("", "// 1900000000\nnameless");
  sync();
  EXPECT_EQ(takeStatuses(), (std::map<std::string, std::string>{}));
  EXPECT_EQ(ruleFiles(), Files{});
  EXPECT_TRUE(waitForTrace("Правило  отклонено: the rule name is empty"));
}

TEST_F(ServiceTest, TellsSystemdItIsReadyAliveWhatItDoesAndThatItStops) {
  testsupport::NotifySocket systemd(scratch_.path() / "notify");
  ::setenv("NOTIFY_SOCKET", (scratch_.path() / "notify").c_str(), 1);
  ::setenv("WATCHDOG_USEC", "400000", 1);
  startService();
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  auto said = [&](const std::string& line) {
    return eventually([&] { return systemd.received().find(line + "\n") != std::string::npos; });
  };
  EXPECT_TRUE(said("READY=1"));
  EXPECT_TRUE(said("STATUS=waiting for the IO structure on /tl/bridge/configuration"));
  configure(R"({"elements": {}})");
  EXPECT_TRUE(said("STATUS=ready, 0 rules installed"));
  // Worded after the batch that installed it, not one batch later.
  publishRule("r", "v1");
  EXPECT_TRUE(said("STATUS=ready, 1 rules installed"));
  // The watchdog is fed at least every half of its interval.
  const std::size_t fed = testsupport::countOccurrences(systemd.received(), "WATCHDOG=1");
  std::this_thread::sleep_for(1s);
  EXPECT_GE(testsupport::countOccurrences(systemd.received(), "WATCHDOG=1"), fed + 2);
  service_->stop(SIGTERM, 5s);
  service_.reset();
  EXPECT_TRUE(said("STOPPING=1"));
}

// Started with a stable client identifier and a persistent session, and
// configured; an observer takes every rule's result.
class PersistentSessionTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    serviceEnvironment_ = {{"MQTT_CLIENT_ID", "rules-preprocessor-e2e"},
                           {"MQTT_PERSISTENT_SESSION", "1"}};
    observer_.connect(broker_->url(), "e2e-observer");
    observer_.subscribe("/tl/bridge/rules/result/#", 1);
    startConfigured(kStructure);
  }

  // The outcome of every rule result that arrives until `count` did, by rule
  // name (the last one of a rule).
  std::map<std::string, std::string> outcomes(std::size_t count) {
    std::map<std::string, std::string> outcomes;
    for (std::size_t i = 0; i < count; ++i) {
      const auto message = observer_.waitMessage(patience(20s));
      if (!message) {
        ADD_FAILURE() << "only " << i << " of " << count << " results came";
        break;
      }
      const std::string name = message->topic.substr(message->topic.rfind('/') + 1);
      outcomes[name] = nlohmann::json::parse(message->payload).value("outcome", "");
    }
    return outcomes;
  }

  testsupport::TestMqttClient observer_;
};

TEST_F(PersistentSessionTest, RulesPublishedWhileTheServiceIsStoppedAreInstalledAtItsStart) {
  publishRule("kept", "DEVICE_NAME(lamp1) kept");
  sync();
  EXPECT_EQ(outcomes(2), (std::map<std::string, std::string>{{"kept", "installed"},
                                                             {"sync-1", "installed"}}));
  takeStatuses();
  ASSERT_TRUE(exitedWith(service_->stop(SIGTERM, 5s), 0));

  // At QoS 1, each acknowledged by the broker, which keeps them for the
  // service's session.
  for (const std::string name : {"a", "b", "c"}) {
    publishRule(name, "DEVICE_NAME(lamp1) " + name);
  }
  publishRule("kept", "DEVICE_NAME(lamp1) kept");
  startService();
  sync();
  EXPECT_EQ(outcomes(5), (std::map<std::string, std::string>{{"a", "installed"},
                                                             {"b", "installed"},
                                                             {"c", "installed"},
                                                             {"kept", "unchanged"},
                                                             {"sync-2", "installed"}}));
  std::map<std::string, std::string> statuses;
  for (const std::string name : {"a", "b", "c", "kept"}) {
    statuses[name] = crcText("DEVICE_NAME(lamp1) " + name);
  }
  EXPECT_EQ(takeStatuses(), statuses);
  EXPECT_EQ(ruleFiles(), (Files{installedName("a", "relay_7 a"), installedName("b", "relay_7 b"),
                                installedName("c", "relay_7 c"),
                                installedName("kept", "relay_7 kept")}));
  EXPECT_TRUE(waitForTrace("Сессия MQTT: клиент MQTT rules-preprocessor-e2e, постоянная сессия"));
}

// The broker keeps the rules subscription of the earlier run: a service that
// starts without an IO structure gets the rules kept for it at once, and
// installs them once an IO structure comes, instead of failing them.
TEST_F(PersistentSessionTest, RulesKeptForAServiceWithoutAnIoStructureWaitForOne) {
  ASSERT_TRUE(exitedWith(service_->stop(SIGTERM, 5s), 0));
  for (const auto& entry : fs::directory_iterator(workDir_ / "state")) {
    fs::remove(entry.path());
  }
  publishRule("early", "DEVICE_NAME(lamp1) early");
  startService();
  ASSERT_TRUE(waitForTrace("Правило early получено раньше структуры ввода-вывода и ждёт её"));
  client_.publish(kConfigurationTopic, R"({"elements": {"lamp1": {"device": "relay_9"}}})", 1);
  sync();
  EXPECT_EQ(outcomes(2), (std::map<std::string, std::string>{{"early", "installed"},
                                                             {"sync-1", "installed"}}));
  EXPECT_EQ(ruleFiles(), Files{installedName("early", "relay_9 early")});
}

}  // namespace
}  // namespace e2e
