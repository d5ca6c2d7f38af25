// How fast the built service installs rules, against the floor of the work
// one installation cannot avoid: a durable file replacement and an MQTT
// request/reply round trip, measured in the same run on the same file system
// and broker. Prints a table of medians; asserts nothing.
//
//   service_speed_benchmark [--repeats N] [--one-at-a-time N] [--pipelined N]
//                           [--in-flight N] [--broker-without-nodelay]
//                           [--baseline BINARY] [--signed]
//
// --baseline measures another build of the service (an earlier commit's) in
// the same run, alternating with this one, and prints the ratios of the two.
// --signed runs this build in signed mode (every rule and the configuration
// signed by the publisher) and, without --baseline, compares it with itself
// unsigned.

#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "floor.h"
#include "scratch_file_system.h"
#include "service_case.h"
#include "talvoro/signing/keys.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/test_signing_keys.h"

namespace {

using speed::Figures;
namespace fs = std::filesystem;

constexpr std::size_t kRuleBytes = 400;
constexpr std::size_t kChunk = 10;
const std::vector<std::size_t> kInstalledRules = {10, 10000};

struct Options {
  std::size_t repeats = 3;
  std::size_t oneAtATime = 100;
  std::size_t pipelined = 1000;
  std::size_t inFlight = 100;
  bool brokerWithoutNodelay = false;
  std::string baseline;  // another service binary to compare with
  bool signedMode = false;
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
    if (arg == "--signed") {
      options.signedMode = true;
      continue;
    }
    if (arg == "--baseline" && at + 1 < argc) {
      options.baseline = argv[++at];
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

std::string cell(double value, const char* format = "{:.2f}") {
  return value > 0 ? fmt::format(fmt::runtime(format), value) : "-";
}

void printRow(const std::string& what, const std::string& files, const Figures& figures) {
  fmt::print("{:<40} {:>6} {:>8} {:>8} {:>8} {:>9} {:>7} {:>8}\n", what, files,
             cell(figures.p50Ms), cell(figures.p99Ms), cell(figures.perSecond, "{:.0f}"),
             cell(figures.cpuMsPerOp, "{:.3f}"), cell(figures.rssMiB, "{:.1f}"),
             cell(figures.versusFloor, "{:.2f}x"));
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return text;
}

// The machine is shared: its load says how far to trust a run.
double loadAverage() {
  double load = 0;
  return ::getloadavg(&load, 1) == 1 ? load : 0;
}

void useBrokerWithoutNodelay() {
  const char* path = std::getenv("PATH");
  const std::string withWrapper =
      std::string(MOSQUITTO_WITHOUT_NODELAY_DIR) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  ::setenv("PATH", withWrapper.c_str(), 1);
}

// The figures of one run of a case. The floor and the service are measured
// in alternating chunks, so that both meet the same load of the machine.
struct CaseRun {
  Figures replacement;
  Figures roundTrip;
  Figures roundTripPipelined;
  Figures floor;  // one replacement and one round trip after each other
  Figures serviceOneAtATime;
  Figures servicePipelined;
  Figures baselineOneAtATime;
  Figures baselinePipelined;
  Figures serviceVersusBaseline;  // p50 ratio one at a time; rules/s ratio in flight
};

// The service cases of one run: the service, and the baseline when there is one.
struct Services {
  speed::ServiceCase* service = nullptr;
  speed::ServiceCase* baseline = nullptr;
};

// Without a service (no root) the floor alone.
CaseRun measureOnce(const Options& options, speed::ReplacementFloor& replacements,
                    speed::RoundTripFloor& roundTrips, const Services& services,
                    std::size_t runNumber) {
  speed::ServiceCase* const service = services.service;
  speed::ServiceCase* const baseline = services.baseline;
  speed::LatencyRecorder replacement;
  speed::LatencyRecorder roundTrip;
  speed::LatencyRecorder serviceRule;
  speed::LatencyRecorder baselineRule;
  for (std::size_t done = 0; done < options.oneAtATime; done += kChunk) {
    const std::size_t chunk = std::min(kChunk, options.oneAtATime - done);
    replacements.measure(chunk, replacement);
    roundTrips.oneAtATime(chunk, roundTrip);
    if (service != nullptr) {
      service->oneAtATime(chunk, serviceRule);
    }
    if (baseline != nullptr) {
      baseline->oneAtATime(chunk, baselineRule);
    }
  }
  CaseRun run;
  run.replacement = replacement.figures();
  run.roundTrip = roundTrip.figures();
  run.roundTripPipelined = roundTrips.pipelined(options.pipelined, options.inFlight);
  const double floorMs = run.replacement.p50Ms + run.roundTrip.p50Ms;
  run.floor = {floorMs, 0, 1e3 / floorMs};
  if (service == nullptr) {
    return run;
  }
  run.serviceOneAtATime = serviceRule.figures();
  run.serviceOneAtATime.versusFloor = run.serviceOneAtATime.p50Ms / floorMs;
  // The two builds take turns at going first, so that neither always meets
  // the other's writeback.
  const bool baselineFirst = baseline != nullptr && runNumber % 2 == 1;
  if (baselineFirst) {
    run.baselinePipelined = baseline->pipelined(options.pipelined, options.inFlight);
  }
  run.servicePipelined = service->pipelined(options.pipelined, options.inFlight);
  run.servicePipelined.versusFloor = run.servicePipelined.perSecond / run.floor.perSecond;
  if (baseline == nullptr) {
    return run;
  }
  if (!baselineFirst) {
    run.baselinePipelined = baseline->pipelined(options.pipelined, options.inFlight);
  }
  run.baselinePipelined.versusFloor = run.baselinePipelined.perSecond / run.floor.perSecond;
  run.baselineOneAtATime = baselineRule.figures();
  run.baselineOneAtATime.versusFloor = run.baselineOneAtATime.p50Ms / floorMs;
  run.serviceVersusBaseline.p50Ms = run.serviceOneAtATime.p50Ms / run.baselineOneAtATime.p50Ms;
  run.serviceVersusBaseline.perSecond =
      run.servicePipelined.perSecond / run.baselinePipelined.perSecond;
  return run;
}

void printMedians(const Options& options, std::size_t rules, const std::vector<CaseRun>& runs) {
  auto median = [&](Figures CaseRun::*member) {
    std::vector<Figures> figures;
    for (const CaseRun& run : runs) {
      figures.push_back(run.*member);
    }
    return speed::medianOf(figures);
  };
  const std::string files = std::to_string(rules);
  printRow("floor: file replacement", files, median(&CaseRun::replacement));
  printRow("floor: MQTT round trip, one at a time", files, median(&CaseRun::roundTrip));
  printRow(fmt::format("floor: MQTT round trip, {} in flight", options.inFlight), files,
           median(&CaseRun::roundTripPipelined));
  printRow("floor: replacement + round trip", files, median(&CaseRun::floor));
  if (::geteuid() != 0) {
    return;
  }
  printRow("service: one at a time", files, median(&CaseRun::serviceOneAtATime));
  printRow(fmt::format("service: {} in flight", options.inFlight), files,
           median(&CaseRun::servicePipelined));
  if (options.baseline.empty()) {
    return;
  }
  printRow("baseline: one at a time", files, median(&CaseRun::baselineOneAtATime));
  printRow(fmt::format("baseline: {} in flight", options.inFlight), files,
           median(&CaseRun::baselinePipelined));
  // Medians of the runs' ratios: p50 below 1 and rules/s above 1 favour the service.
  const Figures ratio = median(&CaseRun::serviceVersusBaseline);
  fmt::print("{:<40} {:>6} one at a time p50 {:.3f}x, {} in flight rules/s {:.3f}x\n",
             "service / baseline", files, ratio.p50Ms, options.inFlight, ratio.perSecond);
}

// The baseline gets a broker of its own: two services on one broker would
// both take every rule.
void measureCase(const Options& options, const speed::ScratchFileSystem& scratch,
                 const testsupport::MosquittoBroker& broker,
                 const testsupport::MosquittoBroker* baselineBroker, std::size_t rules,
                 const speed::Signing* signing) {
  speed::ReplacementFloor replacements(scratch.root() / fmt::format("floor-{}", rules), rules, kRuleBytes);
  speed::RoundTripFloor roundTrips(broker.url(), kRuleBytes);
  std::unique_ptr<speed::ServiceCase> service;
  std::unique_ptr<speed::ServiceCase> baseline;
  if (::geteuid() == 0) {
    service = std::make_unique<speed::ServiceCase>(
        broker, scratch.root() / fmt::format("service-{}", rules), rules, kRuleBytes,
        RULES_PREPROCESSOR_BINARY, "speed", signing);
    if (baselineBroker != nullptr) {
      baseline = std::make_unique<speed::ServiceCase>(
          *baselineBroker, scratch.root() / fmt::format("baseline-{}", rules), rules, kRuleBytes,
          options.baseline, "base");
    }
  }
  std::vector<CaseRun> runs;
  for (std::size_t run = 0; run < options.repeats; ++run) {
    runs.push_back(measureOnce(options, replacements, roundTrips,
                               Services{service.get(), baseline.get()}, run));
  }
  printMedians(options, rules, runs);
  std::fflush(stdout);
}

void run(Options options) {
  speed::ScratchFileSystem scratch;
  // Signed mode: a key made as an operator makes one, trusted by the service.
  std::unique_ptr<testsupport::TestSigningKey> key;
  std::optional<talvoro::signing::PrivateKey> privateKey;
  speed::Signing signing;
  if (options.signedMode) {
    key = std::make_unique<testsupport::TestSigningKey>();
    privateKey.emplace(talvoro::signing::PrivateKey::fromFile(key->privateKeyFile()));
    signing.trustedKeysDir = fs::path(key->publicKeyFile()).parent_path() / "trusted";
    fs::create_directory(signing.trustedKeysDir);
    fs::copy_file(key->publicKeyFile(), fs::path(signing.trustedKeysDir) / "publisher.pem");
    signing.key = &*privateKey;
    if (options.baseline.empty()) {
      options.baseline = RULES_PREPROCESSOR_BINARY;
    }
  }
  if (options.brokerWithoutNodelay) {
    useBrokerWithoutNodelay();
  }
  testsupport::MosquittoBroker broker;
  std::unique_ptr<testsupport::MosquittoBroker> baselineBroker;
  if (!options.baseline.empty()) {
    baselineBroker = std::make_unique<testsupport::MosquittoBroker>();
  }
  fmt::print("Service speed: {}, {} cores (load average {:.2f}), medians of {} runs\n", utcNow(),
             std::thread::hardware_concurrency(), loadAverage(), options.repeats);
  fmt::print("File system: {}\n", scratch.description());
  if (!options.baseline.empty()) {
    fmt::print("Baseline: {}{}\n", options.baseline, options.signedMode ? ", unsigned" : "");
  }
  if (options.signedMode) {
    fmt::print("Service: this build in signed mode, the publisher signing every rule\n");
  }
  fmt::print("Broker: private mosquitto, {}\n",
             options.brokerWithoutNodelay ? "set_tcp_nodelay off (mosquitto's default)"
                                          : "set_tcp_nodelay true");
  fmt::print("Rules and files of {} bytes; per run {} one at a time, {} pipelined\n\n", kRuleBytes,
             options.oneAtATime, options.pipelined);
  fmt::print("{:<40} {:>6} {:>8} {:>8} {:>8} {:>9} {:>7} {:>8}\n", "", "files", "p50 ms", "p99 ms",
             "ops/s", "CPU ms/op", "RSS MiB", "/ floor");
  for (const std::size_t rules : kInstalledRules) {
    measureCase(options, scratch, broker, baselineBroker.get(), rules,
                options.signedMode ? &signing : nullptr);
  }
  if (::geteuid() != 0) {
    fmt::print("service: not measured (its private mount namespace needs root)\n");
  }
  fmt::print(
      "\nOne at a time, floor and service alternate in chunks of 10. / floor, the median of the\n"
      "runs' ratios: one at a time, p50 / (replacement p50 + round trip p50), lower is\n"
      "better; in flight, rules/s * (replacement p50 + round trip p50), higher is better.\n"
      "CPU: the benchmark's thread for the floor, the service process for the service.\n"
      "Load average at the end: {:.2f}\n",
      loadAverage());
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
