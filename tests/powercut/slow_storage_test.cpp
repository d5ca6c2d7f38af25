// The service on storage whose every sync takes 200 ms: a burst of rules is installed in
// batches short enough that the watchdog is fed at least every 15 s, and a stop is taken
// within 5 s, leaving every installed rule answered.

#include <signal.h>

#include <fmt/format.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "service_process.h"
#include "storage_faults_fixture.h"
#include "talvoro/rules_protocol.h"
#include "testsupport/eventually.h"
#include "testsupport/notify_socket.h"
#include "testsupport/test_mqtt_client.h"

namespace powercut {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace protocol = talvoro::protocol;

class SlowStorageTest : public FaultyStorage {};

TEST_F(SlowStorageTest, ABurstFeedsTheWatchdogAndAStopComesWithinSeconds) {
  TESTSUPPORT_REQUIRE_MOSQUITTO();
  mount("/etc/wb-rules");
  if (IsSkipped()) {
    return;
  }
  fs().setFaults({0, 0, 0, 200ms});
  testsupport::MosquittoBroker broker;
  testsupport::TestMqttClient client;
  client.connect(broker.url(), "slow-storage");
  client.subscribe(protocol::kStatusTopicPrefix + "#", 1);
  testsupport::NotifySocket systemd(scratch_.path() / "notify");
  ServiceProcess service(broker.url(), scratch_.path());
  // A quarter of 4 s: the service says it is alive every second while batches let it.
  ::setenv("NOTIFY_SOCKET", (scratch_.path() / "notify").c_str(), 1);
  ::setenv("WATCHDOG_USEC", "4000000", 1);
  service.start();
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  const auto subscribed = [&](const std::string& filter) {
    return testsupport::eventually(
        [&] { return broker.log().find(filter + " (QoS 0)") != std::string::npos; }, 30s);
  };
  ASSERT_TRUE(subscribed(protocol::kConfigurationTopic)) << broker.log();
  client.publish(protocol::kConfigurationTopic, R"({"elements": {}})", 1);
  ASSERT_TRUE(subscribed(protocol::kRulesTopicFilter)) << broker.log();

  constexpr int kRules = 150;
  for (int i = 0; i < kRules; ++i) {
    client.publish(protocol::kRulesTopicPrefix + fmt::format("rule-{}", i),
                   fmt::format("// rule {}\n", i), 1);
  }
  std::map<std::string, std::string> statuses;
  const auto deadline = Clock::now() + 120s;
  while (statuses.size() < 40 && Clock::now() < deadline) {
    if (const auto message = client.waitMessage(100ms)) {
      statuses[message->topic] = message->payload;
    }
    systemd.longestWatchdogGap();
  }
  ASSERT_GE(statuses.size(), 40u) << "the burst did not get going";

  const auto asked = Clock::now();
  ::kill(service.pid(), SIGTERM);
  ASSERT_TRUE(testsupport::eventually([&] { return service.exited(); }, 60s));
  const auto stopping = Clock::now() - asked;
  EXPECT_LE(stopping, 5s) << "the stop took "
                          << std::chrono::duration_cast<std::chrono::milliseconds>(stopping).count()
                          << " ms";
  EXPECT_LE(systemd.longestWatchdogGap(), 15s)
      << "the watchdog waited "
      << std::chrono::duration_cast<std::chrono::milliseconds>(systemd.longestWatchdogGap()).count()
      << " ms";
  // Every rule installed before the stop was answered; nothing is half-done.
  while (const auto message = client.waitMessage(500ms)) {
    statuses[message->topic] = message->payload;
  }
  std::size_t installed = 0;
  for (const auto& entry : fs::directory_iterator("/etc/wb-rules")) {
    const std::string name = entry.path().filename().string();
    EXPECT_NE(name.front(), '.') << name << " was left behind";
    ++installed;
  }
  EXPECT_EQ(installed, statuses.size());
  EXPECT_LT(installed, static_cast<std::size_t>(kRules)) << "the stop waited for the whole burst";
}

}  // namespace
}  // namespace powercut
