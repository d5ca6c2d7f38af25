// What the service's memory of installed rules costs at scale: 10,000 rules
// installed through MQTT, then the inventory of all of them (time until its
// last page), and re-translations of all of them by a new IO structure that
// moves the device every rule names (time until the second configuration
// result), with a rule published one second into each pass (time until its
// status). Prints medians; asserts nothing.
//
//   rule_memory_benchmark [--rules N] [--repeats N]

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "service_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kConfigurationTopic = "/tl/bridge/configuration";
const std::string kStatusPrefix = "/tl/bridge/rules/status/";
const std::string kRulesPrefix = "/tl/bridge/rules/add/";

std::string structureWith(const std::string& device) {
  return fmt::format(R"({{"elements": {{"lamp1": {{"device": "{}"}}}}}})", device);
}

std::string ruleText(std::size_t i) {
  return fmt::format(
      "// rule {}\ndefineRule(\"bench-{}\", {{\n  whenChanged: \"DEVICE_NAME(lamp1)/K1\",\n"
      "  then: function (v) {{ log(\"bench-{} \" + v); }}\n}});\n// {}\n",
      i, i, i, std::string(250, '.'));
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

class Bench {
 public:
  Bench() {
    for (const auto& dir : {rulesDir_, logsDir_, workDir_}) fs::create_directory(dir);
    client_.connect(broker_.url(), "memory-bench");
    for (const std::string& topic : {kStatusPrefix + "#", kConfigurationTopic + "/result",
                                    std::string("/tl/bridge/rules/inventory")}) {
      client_.subscribe(topic, 1);
    }
    service_ = std::make_unique<e2e::ServiceProcess>(broker_.url(), rulesDir_, logsDir_, workDir_);
    waitForBrokerLog("/tl/bridge/configuration (QoS 0)");
    client_.publish(kConfigurationTopic, structureWith("relay_0"), 1);
    waitForBrokerLog("/tl/bridge/rules/add/+ (QoS 0)");
    wait([](const auto& m) { return m.topic == "/tl/bridge/configuration/result"; });
  }

  void install(std::size_t rules) {
    std::unordered_set<std::string> awaited;
    for (std::size_t i = 0; i < rules; ++i) {
      client_.publish(kRulesPrefix + fmt::format("bench-{}", i), ruleText(i), 1);
      awaited.insert(kStatusPrefix + fmt::format("bench-{}", i));
    }
    wait([&](const auto& m) { return awaited.erase(m.topic) > 0 && awaited.empty(); }, 600s);
  }

  double inventory(std::size_t round) {
    const std::string request = fmt::format("inv-{}", round);
    const auto start = Clock::now();
    client_.publish("/tl/bridge/rules/inventory/get", request, 1);
    wait([&](const auto& m) {
      if (m.topic != "/tl/bridge/rules/inventory") return false;
      const auto page = nlohmann::json::parse(m.payload);
      return page["request"] == request && page["page"] == page["pages"];
    });
    return msSince(start);
  }

  // The pass's time, and the time a rule published one second into it took.
  std::pair<double, double> retranslate(std::size_t round) {
    const auto start = Clock::now();
    client_.publish(kConfigurationTopic, structureWith(fmt::format("relay_{}", round)), 1);
    std::this_thread::sleep_for(1s);
    const std::string name = fmt::format("during-{}", round);
    const auto published = Clock::now();
    client_.publish(kRulesPrefix + name, "// " + name + "\n", 1);
    double ruleMs = -1;
    double passMs = -1;
    wait([&](const auto& m) {
      if (m.topic == kStatusPrefix + name) ruleMs = msSince(published);
      if (m.topic == kConfigurationTopic + "/result" &&
          m.payload.find("\"retranslated\"") != std::string::npos) {
        passMs = msSince(start);
      }
      return ruleMs >= 0 && passMs >= 0;
    }, 600s);
    return {passMs, ruleMs};
  }

 private:
  template <typename Done>
  void wait(Done done, std::chrono::seconds timeout = 60s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      const auto message = client_.waitMessage(1s);
      if (message && done(*message)) return;
    }
    throw std::runtime_error("the service did not answer in time");
  }

  void waitForBrokerLog(const std::string& text) {
    const auto deadline = Clock::now() + 20s;
    while (broker_.logFrom(0).find(text) == std::string::npos) {
      if (Clock::now() > deadline) throw std::runtime_error("no subscription: " + text);
      std::this_thread::sleep_for(20ms);
    }
  }

  testsupport::TempDir scratch_;
  fs::path rulesDir_ = scratch_.path() / "rules";
  fs::path logsDir_ = scratch_.path() / "logs";
  fs::path workDir_ = scratch_.path() / "work";
  testsupport::MosquittoBroker broker_;
  testsupport::TestMqttClient client_;
  std::unique_ptr<e2e::ServiceProcess> service_;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t rules = 10000;
  std::size_t repeats = 3;
  for (int at = 1; at + 1 < argc; at += 2) {
    const std::string option = argv[at];
    (option == "--rules" ? rules : repeats) = std::strtoul(argv[at + 1], nullptr, 10);
  }
  try {
    Bench bench;
    const auto start = Clock::now();
    bench.install(rules);
    fmt::print("{} rules installed through MQTT in {:.1f} s\n", rules, msSince(start) / 1000);
    std::vector<double> inventories;
    std::vector<double> passes;
    std::vector<double> during;
    for (std::size_t round = 1; round <= repeats; ++round) {
      inventories.push_back(bench.inventory(round));
      const auto [pass, rule] = bench.retranslate(round);
      passes.push_back(pass);
      during.push_back(rule);
    }
    double load = 0;
    ::getloadavg(&load, 1);
    fmt::print("medians of {} (load {:.1f}): inventory of {} rules {:.0f} ms; re-translation of "
               "{} rules {:.1f} s; a rule published during it answered in {:.0f} ms (max {:.0f})\n",
               repeats, load, rules, median(inventories), rules, median(passes) / 1000,
               median(during), *std::max_element(during.begin(), during.end()));
  } catch (const std::exception& error) {
    std::cerr << "rule_memory_benchmark: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
