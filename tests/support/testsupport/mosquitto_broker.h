#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testsupport/temp_dir.h"

namespace testsupport {

// True when the environment variable CI is "true": there a missing broker is
// a failure, elsewhere it only skips the tests that need one.
bool runningInCi();

// A loopback TCP port that nothing listens on right now.
int freeLoopbackPort();

// Runs `argv` (the program is looked up in PATH) and waits for it; throws
// std::runtime_error naming the command when it cannot run or fails.
void runCommand(const std::vector<std::string>& argv);

// A bridge from a test broker (the local end) to a central broker: the
// central broker sees the local topics of `topics` under `remotePrefix`.
struct BrokerBridge {
  // The central broker, "127.0.0.1:PORT".
  std::string address;
  // Put before the local topics' "/tl/bridge/" on the central broker,
  // e.g. "fleet/ctl-001" for "fleet/ctl-001/tl/bridge/...".
  std::string remotePrefix;
  // The bridge's topic lines, each "pattern direction qos" under the local
  // prefix "/tl/bridge/"; empty: serviceBridgeTopics().
  std::vector<std::string> topics;
  // Not empty: the bridge logs in to the central broker with these.
  std::string username;
  std::string password;

  // The connection's name, which is also the bridge's client identifier on
  // the central broker: the prefix with '-' for '/' ("fleet-ctl-001").
  std::string name() const;
  // Where the bridge announces its link on both brokers, retained: "1" while
  // connected, "0" (its will on the central broker) once not.
  std::string notificationTopic() const { return remotePrefix + "/bridge/state"; }
};

// The service's topics, each in the direction its messages travel: what the
// service takes comes in, what it publishes goes out. So nothing the service
// published comes back from the central broker (a stale retained state after
// a restart of the local broker, for one).
std::vector<std::string> serviceBridgeTopics();

// What a test broker demands of its clients beyond the defaults (anonymous
// clients, plain TCP, mosquitto's queue limits).
struct BrokerOptions {
  // Above 0: max_queued_messages, how many messages the broker holds for a
  // client that does not keep up before it drops QoS 0 ones (default 1000).
  int maxQueuedMessages = 0;
  // Not empty: only these (user name, password) may log in.
  std::vector<std::pair<std::string, std::string>> users;
  // Above 0: message_size_limit, the largest payload the broker takes; it
  // acknowledges a larger QoS 1 message and drops it without a word.
  int messageSizeLimit = 0;
  // Subscriptions whose filter matches one of these patterns are refused
  // (SUBACK failure code 0x80).
  std::vector<std::string> refusedSubscriptions;
  // Both set: the listener speaks TLS with this certificate and key.
  std::string certFile;
  std::string keyFile;
  // Set (with certFile): clients must show a certificate signed by this CA.
  std::string clientCaFile;
  // Set: the broker bridges to a central broker.
  std::optional<BrokerBridge> bridge;
};

// A private mosquitto broker for one test, listening on a free loopback port.
// It owns a temporary directory for its configuration and log, and the child
// process, which it terminates on destruction. stop() and start() simulate a
// broker restart on the same port. Throws std::runtime_error when the binary
// is missing or the broker does not come up (the message carries its log).
//
// The child gets SIGTERM when the thread that started it ends, so that a
// crashed test leaves no broker behind: start it from the test's own thread.
class MosquittoBroker {
 public:
  // Now: started and listening when constructed. Later: start() starts it.
  // Background: started, and waitUntilStarted() waits until it listens, so
  // that many brokers come up at the same time.
  enum class Start { Now, Later, Background };

  explicit MosquittoBroker(Start when = Start::Now, BrokerOptions options = {});
  ~MosquittoBroker();

  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // True when a mosquitto binary is installed.
  static bool available();

  // "tcp://127.0.0.1:PORT", or "ssl://..." for a TLS listener.
  std::string url() const;
  int port() const { return port_; }
  bool running() const { return pid_ > 0; }

  // Starts the broker (again) on the same port and waits until it accepts
  // connections.
  void start();
  // Waits until a broker started in the background accepts connections; one
  // that could not listen is started again on another port.
  void waitUntilStarted();
  // Terminates the broker (SIGTERM) and reaps it. Does nothing when stopped.
  void stop() noexcept;
  // Sends SIGTERM without waiting, so that many brokers stop at the same
  // time; stop() then reaps it.
  void requestStop() noexcept;
  // Ends the broker at once (SIGKILL), as a crash or a power cut does: it
  // closes no connection itself. Does nothing when stopped.
  void kill() noexcept;
  // Freezes the broker (SIGSTOP): it neither answers nor closes anything, as
  // a hung broker or a link that drops every packet. thaw() lets it go on.
  void freeze();
  void thaw();

  // The text of the broker's log file.
  std::string log() const;
  // The log's text from byte `offset` on: what was added since it had that size.
  std::string logFrom(std::size_t offset) const;

 private:
  void writeConfig() const;
  void writeAccessFiles() const;
  bool spawnAndWait();
  void spawn();
  bool waitUntilListening();
  void reap(int timeoutMs) noexcept;

  TempDir dir_;
  BrokerOptions options_;
  std::string binary_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace testsupport

// Skips the current test (or fails it under CI) when mosquitto is missing.
// Use it in a test body or in SetUp().
#define TESTSUPPORT_REQUIRE_MOSQUITTO()                                    \
  do {                                                                     \
    if (!::testsupport::MosquittoBroker::available()) {                    \
      if (::testsupport::runningInCi()) {                                  \
        GTEST_FAIL() << "mosquitto is not installed (required under CI)"; \
      } else {                                                             \
        GTEST_SKIP() << "mosquitto is not installed";                      \
      }                                                                    \
    }                                                                      \
  } while (0)
