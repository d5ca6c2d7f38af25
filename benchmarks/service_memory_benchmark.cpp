// Resident memory of the built service binary, run as the end-to-end tests
// run it (private mount namespace, private mosquitto broker), for the largest
// inputs it meets: one 50 MB rule, 300 rules of 1 MB published at once, and
// a 44 MB IO structure. Prints VmRSS before, the peak (VmHWM, reset before
// each case) and VmRSS after each case, read from /proc/<pid>/status.
// Measures only; it fails when the service does not acknowledge every rule
// with the right CRC-32. Needs root (mount namespace, clear_refs).

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

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
// makeLargeIoStructure gives about 116 bytes per element: 44 MB.
constexpr std::size_t kLargeStructureElements = 380000;

struct Memory {
  long rssKb = 0;
  long hwmKb = 0;
};

Memory memoryOf(pid_t pid) {
  std::ifstream status(fmt::format("/proc/{}/status", pid));
  Memory memory;
  std::string field;
  while (status >> field) {
    if (field == "VmRSS:") status >> memory.rssKb;
    if (field == "VmHWM:") status >> memory.hwmKb;
  }
  return memory;
}

void resetPeak(pid_t pid) {
  std::ofstream(fmt::format("/proc/{}/clear_refs", pid)) << "5";
}

// CRC-32 as in zlib, bit by bit: the reference the service's table is
// checked against.
std::uint32_t crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

// A rule of about `size` bytes: lines of JavaScript with placeholders.
std::string makeRule(const std::string& name, std::size_t size) {
  const std::string line = fmt::format(
      "dev[\"DEVICE_NAME(lamp1)/CELL_NAME(lamp1)\"] = {}; // {}\n", size, name);
  std::string text = "// rule " + name + "\n";
  while (text.size() < size) text += line;
  return text;
}

class Bench {
 public:
  Bench() {
    for (const auto& dir : {rulesDir_, logsDir_, workDir_}) fs::create_directory(dir);
    client_.connect(broker_.url(), "memory-benchmark");
    client_.subscribe(std::string(kStatusPrefix) + "#", 1);
  }

  void run() {
    fmt::print("{:<34} {:>12} {:>12} {:>12} {:>9}\n", "case (MiB)", "VmRSS before",
               "VmHWM peak", "VmRSS after", "seconds");
    measure("one 50 MB rule", [&] { installRules(1, 50 << 20); });
    measure("300 rules of 1 MB at once", [&] { installRules(300, 1 << 20); });
    const std::string structure = makeLargeIoStructure(kLargeStructureElements);
    measure(fmt::format("{:.1f} MB IO structure", structure.size() / 1e6),
            [&] { takeStructure(structure); });
  }

 private:
  // Each case gets a service of its own, started with the example IO
  // structure, so that no case inherits the heap of another.
  template <typename Case>
  void measure(const std::string& name, Case&& work) {
    ++started_;
    e2e::ServiceProcess service(broker_.url(), rulesDir_, logsDir_, workDir_);
    waitForBrokerLog("/tl/bridge/configuration (QoS 0)");
    client_.publish(kConfigurationTopic, e2e::readAll(EXAMPLE_STRUCTURE), 1);
    waitForBrokerLog("/tl/bridge/rules/add/+ (QoS 0)");
    std::this_thread::sleep_for(500ms);

    resetPeak(service.pid());
    const Memory before = memoryOf(service.pid());
    const auto start = Clock::now();
    work();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const Memory after = memoryOf(service.pid());
    if (!service.running()) throw std::runtime_error("the service ended during " + name);
    fmt::print("{:<34} {:>12.1f} {:>12.1f} {:>12.1f} {:>9.2f}\n", name,
               before.rssKb / 1024.0, after.hwmKb / 1024.0, after.rssKb / 1024.0, seconds);
    std::fflush(stdout);
  }

  // Waits until the broker logged `text` once for every service started.
  void waitForBrokerLog(const std::string& text) {
    if (!testsupport::eventually([&] {
          return testsupport::countOccurrences(broker_.log(), text) >= started_;
        })) {
      throw std::runtime_error("the broker never logged " + text);
    }
  }

  void installRules(int count, std::size_t size, bool placeholders = true) {
    std::map<std::string, std::string> expected;
    for (int i = 0; i < count; ++i) {
      const std::string name = fmt::format("bench-{}-{}", size, i);
      const std::string text = placeholders ? makeRule(name, size) : "// " + name;
      expected[name] = fmt::format("{}", crc32(text));
      client_.publish(kRulesPrefix + name, text, 1);
    }
    while (!expected.empty()) {
      const auto message = client_.waitMessage(300s);
      if (!message) throw std::runtime_error(fmt::format("{} statuses missing", expected.size()));
      const std::string name = message->topic.substr(std::string(kStatusPrefix).size());
      const auto found = expected.find(name);
      if (found == expected.end()) continue;
      if (found->second != message->payload) {
        throw std::runtime_error(fmt::format("status of {}: {} instead of {}", name,
                                             message->payload, found->second));
      }
      expected.erase(found);
    }
  }

  // The service handles one message at a time: the status of a rule
  // published after the structure says the structure has been taken. That
  // rule names no element, which the new structure may lack.
  void takeStructure(const std::string& structure) {
    client_.publish(kConfigurationTopic, structure, 1);
    installRules(1, 0, false);
  }

  testsupport::TempDir scratch_;
  fs::path rulesDir_ = scratch_.path() / "wb-rules";
  fs::path logsDir_ = scratch_.path() / "p7";
  fs::path workDir_ = scratch_.path() / "work";
  testsupport::MosquittoBroker broker_;
  testsupport::TestMqttClient client_;
  std::size_t started_ = 0;
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
