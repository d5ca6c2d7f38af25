#include "fleet.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <stdexcept>

#include "talvoro/rules_protocol.h"
#include "testsupport/test_mqtt_client.h"

namespace e2e {
namespace {

constexpr auto kStopTimeout = 10s;

testsupport::BrokerOptions bridgedTo(const testsupport::MosquittoBroker& central,
                                     const std::string& prefix) {
  testsupport::BrokerOptions options;
  options.bridge = testsupport::BrokerBridge{};
  options.bridge->address = fmt::format("127.0.0.1:{}", central.port());
  options.bridge->remotePrefix = prefix;
  return options;
}

}  // namespace

FleetController::FleetController(std::size_t number, const testsupport::MosquittoBroker& central,
                                 const fs::path& dir)
    : number_(number),
      prefix_(fmt::format("fleet/ctl-{:03}", number)),
      rulesDir_(dir / "wb-rules"),
      logsDir_(dir / "p7"),
      workDir_(dir / "work") {
  for (const auto& directory : {rulesDir_, logsDir_, workDir_}) {
    fs::create_directories(directory);
  }
  broker_ = std::make_unique<testsupport::MosquittoBroker>(
      testsupport::MosquittoBroker::Start::Background, bridgedTo(central, prefix_));
}

FleetController::~FleetController() {
  stopService();
  broker_.reset();
}

std::string FleetController::linkTopic() const {
  testsupport::BrokerBridge bridge;
  bridge.remotePrefix = prefix_;
  return bridge.notificationTopic();
}

std::vector<std::string> FleetController::ruleFiles() const { return ruleFilesIn(rulesDir_); }

std::string FleetController::traceLog() const { return traceLogIn(logsDir_); }

bool FleetController::serviceRunning() { return service_ && service_->running(); }

void FleetController::startService() {
  if (!serviceRunning()) {
    service_ = std::make_unique<ServiceProcess>(broker_->url(), rulesDir_, logsDir_, workDir_);
  }
}

void FleetController::requestServiceStop() {
  if (serviceRunning()) {
    ::kill(service_->pid(), SIGTERM);
  }
}

void FleetController::stopService() {
  if (service_ && !service_->stop(SIGTERM, kStopTimeout)) {
    service_->stop(SIGKILL, kStopTimeout);
  }
  service_.reset();
}

void FleetController::killService() {
  if (service_) {
    service_->stop(SIGKILL, kStopTimeout);
  }
  service_.reset();
}

Fleet::Fleet(std::size_t controllers)
    : central_(std::make_unique<testsupport::MosquittoBroker>()) {
  controllers_.reserve(controllers);
  for (std::size_t number = 1; number <= controllers; ++number) {
    controllers_.push_back(std::make_unique<FleetController>(
        number, *central_, scratch_.path() / fmt::format("ctl-{:03}", number)));
  }
  // The brokers come up at the same time, then the services do: a broker
  // that had to move to another port has its final address by then.
  for (const auto& controller : controllers_) {
    controller->broker().waitUntilStarted();
  }
  for (const auto& controller : controllers_) {
    controller->startService();
  }
}

Fleet::~Fleet() {
  // The services stop at the same time, then the brokers do, not one after
  // the other.
  for (const auto& controller : controllers_) {
    controller->requestServiceStop();
  }
  for (const auto& controller : controllers_) {
    controller->stopService();
    controller->broker().requestStop();
  }
  controllers_.clear();
  central_.reset();
}

FleetController& Fleet::controller(std::size_t number) {
  if (number < 1 || number > controllers_.size()) {
    throw std::out_of_range(
        fmt::format("Fleet: no controller {} in a fleet of {}", number, controllers_.size()));
  }
  return *controllers_[number - 1];
}

void Fleet::waitForStates(const std::set<std::string>& states, std::chrono::milliseconds timeout,
                          const std::vector<std::size_t>& numbers) const {
  // Each controller's state topic, and the state the central broker showed
  // last; the retained states arrive with the subscription.
  std::map<std::string, std::string> shown;
  for (const auto& controller : controllers_) {
    if (numbers.empty() ||
        std::find(numbers.begin(), numbers.end(), controller->number()) != numbers.end()) {
      shown[controller->topic(talvoro::protocol::kStateTopic)] = "(none)";
    }
  }
  static int watchers = 0;
  testsupport::TestMqttClient client;
  client.connect(central_->url(), fmt::format("fleet-watch-{}-{}", ::getpid(), ++watchers));
  client.subscribe("fleet/+" + talvoro::protocol::kStateTopic, 1);
  const auto pending = [&] {
    return std::count_if(shown.begin(), shown.end(),
                         [&](const auto& entry) { return states.count(entry.second) == 0; });
  };
  const auto deadline = std::chrono::steady_clock::now() + testsupport::patience(timeout);
  while (pending() > 0 && std::chrono::steady_clock::now() < deadline) {
    if (const auto message = client.waitMessage(100ms); message && shown.count(message->topic)) {
      shown[message->topic] = message->payload;
    }
  }
  if (pending() == 0) {
    return;
  }
  std::string missing;
  for (const auto& [topic, state] : shown) {
    if (states.count(state) == 0) {
      missing += fmt::format("{}{}: {}", missing.empty() ? "" : ", ", topic, state);
    }
  }
  throw std::runtime_error(fmt::format("Fleet: {} of {} controllers did not show the state in "
                                       "time on the central broker: {}",
                                       pending(), shown.size(), missing));
}

void Fleet::writeFleetFile(const fs::path& path) const {
  std::ofstream file(path, std::ios::trunc);
  for (const auto& controller : controllers_) {
    file << central_->url() << ' ' << controller->prefix() << '\n';
  }
  if (!file.flush()) {
    throw std::runtime_error(fmt::format("Fleet: cannot write {}", path.string()));
  }
}

}  // namespace e2e
