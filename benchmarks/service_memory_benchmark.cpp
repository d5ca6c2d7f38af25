// Resident memory of the built service binary, run as the end-to-end tests
// run it (private mount namespace, private mosquitto broker), for the largest
// inputs it meets: one 50 MB rule, bursts of large and of many small rules
// published at once, a 44.8 MB IO structure, and the idle service with 10,000
// rules installed. Each case gets a broker, a service and directories of its
// own. Printed per case, from /proc/<pid>/status: the idle service (VmRSS
// before), the peak during the case (VmHWM, reset before) and its distance
// from idle, VmRSS a second after it, and the bound the case is held to. Measures only;
// it fails when the service does not acknowledge every rule with the right
// CRC-32 or does not install every rule. Needs root (mount namespace,
// clear_refs).

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "large_io_structure.h"
#include "service_fixture.h"
#include "testsupport/text_and_namespaces.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace fs = std::filesystem;
constexpr const char* kConfigurationTopic = "/tl/bridge/configuration";
constexpr const char* kRulesPrefix = "/tl/bridge/rules/add/";
constexpr const char* kStatusPrefix = "/tl/bridge/rules/status/";
// makeLargeIoStructure gives about 118 bytes per element: 44.8 MB.
constexpr std::size_t kLargeStructureElements = 380000;
constexpr double kMiB = 1024.0 * 1024.0;
// A broker that holds back whole bursts for a service that reads no faster
// than it installs (mosquitto drops QoS 0 messages beyond 1000 by default),
// so that a lost rule would be the service's.
constexpr int kBrokerQueue = 250000;

struct Memory {
  double rss = 0;  // MiB
  double hwm = 0;  // MiB
};

Memory memoryOf(pid_t pid) {
  std::ifstream status(fmt::format("/proc/{}/status", pid));
  Memory memory;
  std::string field;
  long kilobytes = 0;
  while (status >> field) {
    if (field == "VmRSS:" && status >> kilobytes) memory.rss = kilobytes / 1024.0;
    if (field == "VmHWM:" && status >> kilobytes) memory.hwm = kilobytes / 1024.0;
  }
  return memory;
}

void resetPeak(pid_t pid) { std::ofstream(fmt::format("/proc/{}/clear_refs", pid)) << "5"; }

// A rule of about `size` bytes: lines of JavaScript with placeholders.
std::string makeRule(const std::string& name, std::size_t size) {
  const std::string line = fmt::format(
      "dev[\"DEVICE_NAME(lamp1)/CELL_NAME(lamp1)\"] = {}; // {}\n", size, name);
  std::string text = "// rule " + name + "\n";
  while (text.size() < size) text += line;
  return text;
}

std::size_t countRuleFiles(const fs::path& dir) {
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    files += entry.path().extension() == ".js" ? 1 : 0;
  }
  return files;
}

// What a case is held to: peak minus idle, the peak, or the idle size.
struct Bound {
  enum class Of { None, AboveIdle, Peak, Idle } of = Of::None;
  double mib = 0;

  std::string text() const {
    switch (of) {
      case Of::None: return "-";
      case Of::AboveIdle: return fmt::format("idle + {:.0f}", mib);
      case Of::Peak: return fmt::format("peak {:.0f}", mib);
      case Of::Idle: return fmt::format("idle {:.0f}", mib);
    }
    return "-";
  }

  bool holds(const Memory& idle, const Memory& after) const {
    switch (of) {
      case Of::None: return true;
      case Of::AboveIdle: return after.hwm - idle.rss <= mib;
      case Of::Peak: return after.hwm <= mib;
      case Of::Idle: return idle.rss <= mib;
    }
    return true;
  }
};

// One case: a broker, the service with the example IO structure, and a
// publisher that also watches the statuses.
class Case {
 public:
  explicit Case(std::size_t preinstalledRules = 0) {
    testsupport::BrokerOptions options;
    options.maxQueuedMessages = kBrokerQueue;
    broker_ = std::make_unique<testsupport::MosquittoBroker>(
        testsupport::MosquittoBroker::Start::Now, options);
    for (const auto& dir : {rulesDir_, logsDir_, workDir_}) fs::create_directory(dir);
    preinstall(preinstalledRules);
    client_.connect(broker_->url(), "memory-benchmark");
    client_.subscribe(std::string(kStatusPrefix) + "#", 1);
    service_ = std::make_unique<e2e::ServiceProcess>(broker_->url(), rulesDir_, logsDir_,
                                                     workDir_);
    waitForBrokerLog("/tl/bridge/configuration (QoS 0)");
    client_.publish(kConfigurationTopic, e2e::readAll(EXAMPLE_STRUCTURE), 1);
    waitForBrokerLog("/tl/bridge/rules/add/+ (QoS 0)");
    std::this_thread::sleep_for(500ms);
  }

  pid_t pid() const { return service_->pid(); }
  bool serviceRunning() { return service_->running(); }

  // Publishes `count` rules of `size` bytes, one after the other without
  // waiting for the service, and waits until every one is acknowledged with
  // its CRC-32 and installed.
  void installRules(int count, std::size_t size, int qos, bool placeholders = true) {
    std::unordered_map<std::string, std::string> expected;
    const std::size_t filesBefore = countRuleFiles(rulesDir_);
    for (int i = 0; i < count; ++i) {
      const std::string name = fmt::format("bench-{}-{}-{}", size, qos, i);
      const std::string text = placeholders ? makeRule(name, size) : "// " + name;
      expected[name] = e2e::crcText(text);
      client_.publish(kRulesPrefix + name, text, qos);
    }
    while (!expected.empty()) {
      const auto message = client_.waitMessage(300s);
      if (!message) {
        throw std::runtime_error(
            fmt::format("{} statuses missing; the service's last errors:\n{}", expected.size(),
                        lastErrors()));
      }
      const std::string name = message->topic.substr(std::string(kStatusPrefix).size());
      const auto found = expected.find(name);
      if (found == expected.end()) continue;
      if (found->second != message->payload) {
        throw std::runtime_error(fmt::format("status of {}: {} instead of {}", name,
                                             message->payload, found->second));
      }
      expected.erase(found);
    }
    if (const std::size_t installed = countRuleFiles(rulesDir_) - filesBefore;
        installed != static_cast<std::size_t>(count)) {
      throw std::runtime_error(fmt::format("{} of {} rules installed", installed, count));
    }
  }

  // The service handles one message at a time: the status of a rule
  // published after the structure says the structure has been taken. That
  // rule names no element, which the new structure may lack.
  void takeStructure(const std::string& structure) {
    client_.publish(kConfigurationTopic, structure, 1);
    installRules(1, 0, 1, false);
  }

 private:
  void preinstall(std::size_t rules) {
    for (std::size_t i = 0; i < rules; ++i) {
      const std::string text = makeRule(fmt::format("installed-{}", i), 400);
      const std::string file = fmt::format("installed-{}-__{}__.js", i, std::hash<std::string>{}(text));
      std::ofstream(rulesDir_ / file, std::ios::binary) << text;
    }
  }

  // The last error records of the service's trace log.
  std::string lastErrors() const {
    std::vector<std::string> errors;
    std::error_code missing;
    for (const auto& file : fs::directory_iterator(logsDir_ / "rules-preprocessor", missing)) {
      std::ifstream log(file.path());
      for (std::string line; std::getline(log, line);) {
        if (line.find("ERROR") != std::string::npos) errors.push_back(line);
      }
    }
    const std::size_t shown = std::min<std::size_t>(errors.size(), 5);
    std::string text;
    for (std::size_t i = errors.size() - shown; i < errors.size(); ++i) text += errors[i] + "\n";
    return text;
  }

  void waitForBrokerLog(const std::string& text) {
    if (!testsupport::eventually(
            [&] { return broker_->log().find(text) != std::string::npos; }, 30s)) {
      throw std::runtime_error("the broker never logged " + text);
    }
  }

  testsupport::TempDir scratch_;
  fs::path rulesDir_ = scratch_.path() / "wb-rules";
  fs::path logsDir_ = scratch_.path() / "p7";
  fs::path workDir_ = scratch_.path() / "work";
  std::unique_ptr<testsupport::MosquittoBroker> broker_;
  testsupport::TestMqttClient client_;
  std::unique_ptr<e2e::ServiceProcess> service_;
};

class Bench {
 public:
  void run() {
    fmt::print("{:<36} {:>8} {:>8} {:>10} {:>8} {:>12} {:>6} {:>8}\n", "case (MiB)", "idle",
               "peak", "peak-idle", "after", "bound", "within", "seconds");
    measure("one 50 MB rule", {}, [](Case& c) { c.installRules(1, 50 << 20, 1); });
    for (const int count : {300, 2000}) {
      for (const int qos : {0, 1}) {
        measure(fmt::format("{} rules of 1 MB at once, QoS {}", count, qos),
                {Bound::Of::AboveIdle, 96}, [=](Case& c) { c.installRules(count, 1 << 20, qos); });
      }
    }
    measure("100,000 rules of 100 bytes at once", {Bound::Of::AboveIdle, 64},
            [](Case& c) { c.installRules(100000, 100, 1); });
    const std::string structure = makeLargeIoStructure(kLargeStructureElements);
    const double structureMb = static_cast<double>(structure.size()) / 1e6;
    measure(fmt::format("{:.1f} MB IO structure", structureMb),
            {Bound::Of::Peak, 4 * static_cast<double>(structure.size()) / kMiB},
            [&](Case& c) { c.takeStructure(structure); });
    measure("idle, 10,000 rules installed", {Bound::Of::Idle, 12}, [](Case&) {}, 10000);
  }

 private:
  void measure(const std::string& name, Bound bound, const std::function<void(Case&)>& work,
               std::size_t preinstalledRules = 0) {
    Case c(preinstalledRules);
    resetPeak(c.pid());
    const Memory idle = memoryOf(c.pid());
    const auto start = Clock::now();
    work(c);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Once the burst is over, the service gives its free heap back.
    std::this_thread::sleep_for(1s);
    const Memory after = memoryOf(c.pid());
    if (!c.serviceRunning()) throw std::runtime_error("the service ended during " + name);
    fmt::print("{:<36} {:>8.1f} {:>8.1f} {:>10.1f} {:>8.1f} {:>12} {:>6} {:>8.1f}\n", name,
               idle.rss, after.hwm, after.hwm - idle.rss, after.rss, bound.text(),
               bound.holds(idle, after) ? "yes" : "NO", seconds);
    std::fflush(stdout);
  }
};

}  // namespace

int main() {
  try {
    Bench().run();
  } catch (const std::exception& error) {
    fmt::print(stderr, "service_memory_benchmark: {}\n", error.what());
    return 1;
  }
  return 0;
}
