#pragma once
// End-to-end fixture: a private mosquitto broker, the built service binary
// running in a mount namespace of its own (its /etc/wb-rules and /var/log/p7
// are temporary directories of the test), and an independent MQTT client.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "testsupport/eventually.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_mqtt_client.h"
#include "testsupport/text_and_namespaces.h"

namespace e2e {

namespace fs = std::filesystem;
using testsupport::eventually;
using testsupport::patience;
using namespace std::chrono_literals;

// The service binary (the one built with the tests, unless `binary` names
// another), started through the private-mounts script so that its process id
// is the service's own, with `environment` added to its environment.
// Terminated (SIGTERM) on destruction.
class ServiceProcess {
 public:
  // `environment` is set for the service on top of the test's own.
  ServiceProcess(const std::string& brokerUrl, const fs::path& rulesDir,
                 const fs::path& logsDir, const fs::path& workDir,
                 const std::string& binary = RULES_PREPROCESSOR_BINARY,
                 const std::map<std::string, std::string>& environment = {});
  ~ServiceProcess();

  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  pid_t pid() const { return pid_; }
  // False once the process has ended.
  bool running();
  // Waits up to `timeout` for the process to end: its wait status, or none
  // when it still runs.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // Sends `signal`, then waits as waitExit does.
  std::optional<int> stop(int signal, std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

class ServiceTest : public ::testing::Test {
 protected:
  static constexpr const char* kConfigurationTopic = "/tl/bridge/configuration";

  void SetUp() override;
  void TearDown() override;

  // Starts the service (after the test prepared its rule directory) and,
  // when the broker runs, waits until it listens for configurations.
  void startService();
  // Starts the service and hands it `document`, unless SetUp skipped or failed.
  void startConfigured(const std::string& document);
  // Waits until the broker has seen `count` configuration subscriptions.
  void waitForConfigurationSubscription(std::size_t count);
  // Publishes a configuration and, the first time, waits until the service
  // has opened the rules topic.
  void configure(const std::string& document);
  void publishRule(const std::string& name, const std::string& text);

  // Publishes a rule of its own and waits for its status: every message
  // published before has then been handled completely.
  void sync();

  // The status payloads that arrived, by rule name, since the last call.
  std::map<std::string, std::string> takeStatuses();

  // The service's trace log, all files in order.
  std::string traceLog() const;
  // Waits until the trace log contains `text`.
  bool waitForTrace(const std::string& text, std::chrono::milliseconds timeout = 10s) const;

  // Names of the entries of the rule directory, sorted.
  std::vector<std::string> ruleFiles() const;
  std::string readRuleFile(const std::string& fileName) const;
  void writeRuleFile(const std::string& fileName, const std::string& text) const;

  std::size_t countInBrokerLog(const std::string& text) const;

  static std::string installedName(const std::string& rule, const std::string& text);

  // Set for the service when startService() starts it.
  std::map<std::string, std::string> serviceEnvironment_;
  // When set, sync() publishes its rule as this makes it of (name, text).
  std::function<std::string(const std::string&, const std::string&)> signRule_;

  testsupport::TempDir scratch_;
  fs::path rulesDir_;
  fs::path logsDir_;
  fs::path workDir_;
  std::unique_ptr<testsupport::MosquittoBroker> broker_;
  std::unique_ptr<ServiceProcess> service_;
  testsupport::TestMqttClient client_;

 private:
  bool configured_ = false;
  int syncCount_ = 0;
  std::map<std::string, std::string> statuses_;
};

// The whole content of a file; empty when it cannot be read.
std::string readAll(const fs::path& path);

// Names of the entries of a rule directory, sorted.
std::vector<std::string> ruleFilesIn(const fs::path& rulesDir);
// The rule of each installed file name in `files` ("a-__1__.js" is "a"), in order.
std::vector<std::string> rulesOf(const std::vector<std::string>& files);
// The service's trace log under a log directory, all files in order.
std::string traceLogIn(const fs::path& logsDir);

// What every run of the service in a test wrote to standard error, in
// ServiceTest's work directory.
extern const char* const kStandardErrorFile;

// The CRC-32 of zlib, computed bit by bit, independently of the zlib call
// the service makes, and as the decimal text of a status.
std::uint32_t crc32Of(const std::string& bytes);
std::string crcText(const std::string& bytes);

}  // namespace e2e
