// How fast the built service installs rules, against the floor of the work
// one installation cannot avoid: a durable file replacement and an MQTT
// request/reply round trip, measured in the same run on the same file system
// and broker. Prints a table of medians; asserts nothing.
//
//   service_speed_benchmark [--repeats N] [--one-at-a-time N] [--pipelined N]
//                           [--in-flight N] [--broker-without-nodelay]

#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "floor.h"
#include "scratch_file_system.h"
#include "service_case.h"
#include "testsupport/mosquitto_broker.h"

namespace {

using speed::Figures;

constexpr std::size_t kRuleBytes = 400;
const std::vector<std::size_t> kInstalledRules = {10, 10000};

struct Options {
  std::size_t repeats = 3;
  std::size_t oneAtATime = 100;
  std::size_t pipelined = 1000;
  std::size_t inFlight = 100;
  bool brokerWithoutNodelay = false;
};

Options parse(int argc, char** argv) {
  Options options;
  const std::vector<std::pair<std::string, std::size_t*>> counts = {
      {"--repeats", &options.repeats},
      {"--one-at-a-time", &options.oneAtATime},
      {"--pipelined", &options.pipelined},
      {"--in-flight", &options.inFlight}};
  for (int at = 1; at < argc; ++at) {
    const std::string arg = argv[at];
    if (arg == "--broker-without-nodelay") {
      options.brokerWithoutNodelay = true;
      continue;
    }
    auto count = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == arg; });
    if (count == counts.end() || at + 1 == argc || std::atoi(argv[at + 1]) < 1) {
      throw std::invalid_argument(fmt::format("unknown option or missing count: {}", arg));
    }
    *count->second = static_cast<std::size_t>(std::atoi(argv[++at]));
  }
  return options;
}

// The median of `repeats` runs of `measure`.
Figures repeated(std::size_t repeats, const std::function<Figures()>& measure) {
  std::vector<Figures> runs;
  for (std::size_t run = 0; run < repeats; ++run) {
    runs.push_back(measure());
  }
  return speed::medianOf(runs);
}

std::string cell(double value, const char* format = "{:.2f}") {
  return value > 0 ? fmt::format(format, value) : "-";
}

void printRow(const std::string& what, const std::string& files, const Figures& figures,
              double versusFloor = 0) {
  fmt::print("{:<40} {:>6} {:>8} {:>8} {:>8} {:>9} {:>7} {:>8}\n", what, files,
             cell(figures.p50Ms), cell(figures.p99Ms), cell(figures.perSecond, "{:.0f}"),
             cell(figures.cpuMsPerOp, "{:.3f}"), cell(figures.rssMiB, "{:.1f}"),
             cell(versusFloor, "{:.2f}x"));
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return text;
}

void useBrokerWithoutNodelay() {
  const char* path = std::getenv("PATH");
  const std::string withWrapper =
      std::string(MOSQUITTO_WITHOUT_NODELAY_DIR) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  ::setenv("PATH", withWrapper.c_str(), 1);
}

struct Floor {
  std::vector<Figures> replacement;  // by installed rule count
  Figures roundTrip;
  Figures roundTripPipelined;

  // One replacement and one round trip, one after the other.
  double oneAtATimeMs(std::size_t at) const { return replacement[at].p50Ms + roundTrip.p50Ms; }
};

Floor measureFloor(const Options& options, const speed::ScratchFileSystem& scratch,
                   const testsupport::MosquittoBroker& broker) {
  Floor floor;
  for (const std::size_t files : kInstalledRules) {
    speed::ReplacementFloor replacements(scratch.root() / fmt::format("floor-{}", files), files, kRuleBytes);
    floor.replacement.push_back(
        repeated(options.repeats, [&] { return replacements.measure(options.oneAtATime); }));
  }
  speed::RoundTripFloor roundTrips(broker.url(), kRuleBytes);
  floor.roundTrip = repeated(options.repeats, [&] { return roundTrips.oneAtATime(options.oneAtATime); });
  floor.roundTripPipelined = repeated(
      options.repeats, [&] { return roundTrips.pipelined(options.pipelined, options.inFlight); });
  return floor;
}

void printFloor(const Options& options, const Floor& floor) {
  for (std::size_t at = 0; at < kInstalledRules.size(); ++at) {
    printRow("floor: file replacement", std::to_string(kInstalledRules[at]), floor.replacement[at]);
  }
  printRow("floor: MQTT round trip, one at a time", "-", floor.roundTrip);
  printRow(fmt::format("floor: MQTT round trip, {} in flight", options.inFlight), "-",
           floor.roundTripPipelined);
  for (std::size_t at = 0; at < kInstalledRules.size(); ++at) {
    const double floorMs = floor.oneAtATimeMs(at);
    printRow("floor: replacement + round trip", std::to_string(kInstalledRules[at]),
             {floorMs, 0, 1e3 / floorMs});
  }
}

void measureAndPrintService(const Options& options, const speed::ScratchFileSystem& scratch,
                            const testsupport::MosquittoBroker& broker, const Floor& floor) {
  for (std::size_t at = 0; at < kInstalledRules.size(); ++at) {
    const std::size_t rules = kInstalledRules[at];
    speed::ServiceCase service(broker, scratch.root() / fmt::format("service-{}", rules), rules, kRuleBytes);
    const Figures single = repeated(options.repeats, [&] { return service.oneAtATime(options.oneAtATime); });
    const Figures piped = repeated(
        options.repeats, [&] { return service.pipelined(options.pipelined, options.inFlight); });
    const double floorMs = floor.oneAtATimeMs(at);
    const std::string files = std::to_string(rules);
    printRow("service: one at a time", files, single, single.p50Ms / floorMs);
    printRow(fmt::format("service: {} in flight", options.inFlight), files, piped,
             piped.perSecond * floorMs / 1e3);
  }
}

void run(const Options& options) {
  speed::ScratchFileSystem scratch;
  if (options.brokerWithoutNodelay) {
    useBrokerWithoutNodelay();
  }
  testsupport::MosquittoBroker broker;
  fmt::print("Service speed: {}, {} cores, medians of {} runs\n", utcNow(),
             std::thread::hardware_concurrency(), options.repeats);
  fmt::print("File system: {}\n", scratch.description());
  fmt::print("Broker: private mosquitto, {}\n",
             options.brokerWithoutNodelay ? "set_tcp_nodelay off (mosquitto's default)"
                                          : "set_tcp_nodelay true");
  fmt::print("Rules and files of {} bytes; per run {} one at a time, {} pipelined\n\n", kRuleBytes,
             options.oneAtATime, options.pipelined);
  fmt::print("{:<40} {:>6} {:>8} {:>8} {:>8} {:>9} {:>7} {:>8}\n", "", "files", "p50 ms", "p99 ms",
             "ops/s", "CPU ms/op", "RSS MiB", "/ floor");
  const Floor floor = measureFloor(options, scratch, broker);
  printFloor(options, floor);
  if (::geteuid() != 0) {
    fmt::print("service: skipped (its private mount namespace needs root)\n");
    return;
  }
  measureAndPrintService(options, scratch, broker, floor);
  fmt::print(
      "\n/ floor: one at a time, p50 / (replacement p50 + round trip p50), lower is better;\n"
      "pipelined, rules/s / (1 / (replacement p50 + round trip p50)), higher is better.\n"
      "CPU: the benchmark's thread for the floor, the service process for the service.\n");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    run(parse(argc, argv));
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "service_speed_benchmark: " << error.what() << "\n";
    return 1;
  }
}
