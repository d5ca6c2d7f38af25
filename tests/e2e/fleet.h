#pragma once
// A simulated fleet for end-to-end tests and benchmarks: a central broker and
// controllers, each a broker of its own bridged to the central one under the
// controller's prefix, and the built service on that broker, in a private
// mount namespace of its own.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "service_fixture.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/temp_dir.h"

namespace e2e {

// One controller: its broker, bridged to the central broker under prefix(),
// and its service with rule, log and state directories of its own. The
// destructor stops the service, then the broker.
class FleetController {
 public:
  // Starts the broker in the background, bridged to `central`: broker()
  // .waitUntilStarted() waits for it, startService() then starts the service.
  // Directories go under `dir`.
  FleetController(std::size_t number, const testsupport::MosquittoBroker& central,
                  const fs::path& dir);
  ~FleetController();

  FleetController(const FleetController&) = delete;
  FleetController& operator=(const FleetController&) = delete;

  std::size_t number() const { return number_; }
  // "fleet/ctl-007" for controller 7.
  const std::string& prefix() const { return prefix_; }
  // A topic of the controller's broker as the central broker sees it:
  // topic("/tl/bridge/rules/state") is "fleet/ctl-007/tl/bridge/rules/state".
  std::string topic(const std::string& localTopic) const { return prefix_ + localTopic; }
  // Where the controller's bridge announces its link on the central broker:
  // "1" while connected, "0" once not (retained).
  std::string linkTopic() const;

  testsupport::MosquittoBroker& broker() { return *broker_; }
  const fs::path& rulesDir() const { return rulesDir_; }
  // Names of the entries of the rule directory, sorted.
  std::vector<std::string> ruleFiles() const;
  // The service's trace log, all files in order.
  std::string traceLog() const;

  bool serviceRunning();
  void startService();
  // Asks the service to stop (SIGTERM) without waiting; stopService() waits.
  void requestServiceStop();
  // Stops the service and waits for its end: SIGTERM, SIGKILL after 10 s.
  void stopService();
  // Ends the service at once (SIGKILL), as a crash does: its broker then
  // publishes its will.
  void killService();

 private:
  std::size_t number_;
  std::string prefix_;
  fs::path rulesDir_;
  fs::path logsDir_;
  fs::path workDir_;
  std::unique_ptr<testsupport::MosquittoBroker> broker_;
  std::unique_ptr<ServiceProcess> service_;
};

// The central broker and controllers 1 to K, all started by the constructor
// (each service connects in the background: waitForStates() tells when the
// central broker hears them). Every broker and service is a child process,
// ended by the destructor; construct and destroy it on one thread (the
// brokers end with the thread that started them). Throws
// std::runtime_error when a broker does not start.
class Fleet {
 public:
  explicit Fleet(std::size_t controllers);
  ~Fleet();

  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  std::size_t size() const { return controllers_.size(); }
  testsupport::MosquittoBroker& central() { return *central_; }
  // Controller `number`, 1 to size().
  FleetController& controller(std::size_t number);

  // Waits until the central broker shows each controller's state (for the
  // controllers in `numbers`, every one when empty) as one of `states`.
  // Throws std::runtime_error naming those that did not, with what they
  // showed, when `timeout` (stretched by patience()) passes.
  void waitForStates(const std::set<std::string>& states, std::chrono::milliseconds timeout,
                     const std::vector<std::size_t>& numbers = {}) const;

  // Writes the fleet file of rules-push: one line per controller, the
  // central broker's address and the prefix ("tcp://127.0.0.1:PORT
  // fleet/ctl-001").
  void writeFleetFile(const fs::path& path) const;

 private:
  testsupport::TempDir scratch_;
  std::unique_ptr<testsupport::MosquittoBroker> central_;
  std::vector<std::unique_ptr<FleetController>> controllers_;
};

}  // namespace e2e
