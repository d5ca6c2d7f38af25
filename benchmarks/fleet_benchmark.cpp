// rules-push deploying to a fleet: K controllers (a broker bridged to one
// central broker under the controller's prefix, and the built service, each)
// and a fleet file naming them. Each repeat deploys the example IO structure
// and rules made from the example rule, with texts of their own, so that
// every rule is installed on every controller. Prints the startup time of the
// fleet and, as medians, rules-push's wall time, the time per controller and
// rules-push's peak resident memory and CPU time; asserts nothing.
//
//   fleet_benchmark [--controllers N] [--rules N] [--repeats N] [--startup-only]
//
// --startup-only brings the fleet up, checks that every controller says
// "waiting" on the central broker, prints the times and tears it down.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fleet.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::size_t controllers = 100;
  std::size_t rules = 20;
  std::size_t repeats = 3;
  bool startupOnly = false;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int at = 1; at < argc; ++at) {
    const std::string option = argv[at];
    if (option == "--startup-only") {
      options.startupOnly = true;
      continue;
    }
    if (at + 1 == argc ||
        (option != "--controllers" && option != "--rules" && option != "--repeats")) {
      throw std::invalid_argument(fmt::format(
          "unknown option or missing value: {} (usage: fleet_benchmark [--controllers N] "
          "[--rules N] [--repeats N] [--startup-only])",
          option));
    }
    const std::size_t value = std::strtoul(argv[++at], nullptr, 10);
    if (value == 0) {
      throw std::invalid_argument(fmt::format("{} needs a number above 0", option));
    }
    (option == "--controllers" ? options.controllers
     : option == "--rules"     ? options.rules
                               : options.repeats) = value;
  }
  return options;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Without a mount namespace of their own the services would share the
// machine's /etc/wb-rules.
void requirePrivateMounts() {
  try {
    testsupport::runCommand({"unshare", "--mount", "true"});
  } catch (const std::runtime_error&) {
    testsupport::runCommand({"unshare", "--user", "--map-root-user", "--mount", "true"});
  }
}

// The example rule with timestamp line `timestamp`, so that every repeat
// sends a text newer than the one installed.
std::string ruleText(const std::string& example, long timestamp, std::size_t rule) {
  const std::string rest = example.substr(example.find('\n') + 1);
  return fmt::format("// {}\n// fleet benchmark rule {}\n{}", timestamp, rule, rest);
}

std::vector<std::string> writeRules(const fs::path& dir, std::size_t count, std::size_t repeat) {
  const std::string example = e2e::readAll(EXAMPLE_RULE);
  std::vector<std::string> paths;
  for (std::size_t rule = 1; rule <= count; ++rule) {
    const fs::path path = dir / fmt::format("fleet-bench-{:02}.js", rule);
    std::ofstream(path, std::ios::trunc) << ruleText(example, 1765090800 + long(repeat), rule);
    paths.push_back(path.string());
  }
  return paths;
}

struct PushRun {
  int status = 0;  // the wait status
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user and system
  double peakMiB = 0;
  std::string output;
  std::string errors;
};

double seconds(const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; }

// Runs rules-push with `args` and waits for its end (killed after an hour),
// with what wait4 says of it.
PushRun runPush(const std::vector<std::string>& args, const fs::path& dir) {
  const fs::path output = dir / "push.out";
  const fs::path errors = dir / "push.err";
  std::vector<std::string> argv = {RULES_PUSH_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (auto& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  std::fflush(nullptr);  // or the child's freopen writes this process's output again
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(fmt::format("fork: {}", std::strerror(errno)));
  if (pid == 0) {
    if (!std::freopen(output.c_str(), "w", stdout) || !std::freopen(errors.c_str(), "w", stderr) ||
        !std::freopen("/dev/null", "r", stdin)) {
      ::_exit(126);
    }
    ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  PushRun run;
  rusage usage{};
  pid_t ended = 0;
  while ((ended = ::wait4(pid, &run.status, WNOHANG, &usage)) == 0) {
    if (secondsSince(start) > 3600) ::kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (ended < 0) throw std::runtime_error(fmt::format("wait4: {}", std::strerror(errno)));
  run.wallSeconds = secondsSince(start);
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.peakMiB = double(usage.ru_maxrss) / 1024;  // kilobytes
  run.output = e2e::readAll(output);
  run.errors = e2e::readAll(errors);
  return run;
}

// Throws unless rules-push ended with status 0 having installed every rule
// on every controller.
void checkRun(const PushRun& run, std::size_t expectedInstalled) {
  if (!WIFEXITED(run.status)) {
    throw std::runtime_error(fmt::format("rules-push did not exit (wait status {}): {}",
                                         run.status, run.errors));
  }
  const int code = WEXITSTATUS(run.status);
  if (code == 2 && run.errors.find("--fleet") != std::string::npos) {
    throw std::runtime_error(
        "rules-push does not take --fleet (exit status 2), so there is nothing to measure; "
        "--startup-only measures the fleet's startup. It said:\n" + run.errors);
  }
  if (code != 0) {
    throw std::runtime_error(
        fmt::format("rules-push ended with exit status {}:\n{}", code, run.errors));
  }
  std::istringstream lines(run.output);
  std::string last;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) last = line;
  }
  const auto summary = nlohmann::json::parse(last, nullptr, false);
  const auto installed = summary.is_object() ? summary["summary"].value("installed", 0) : 0;
  if (installed != int(expectedInstalled)) {
    throw std::runtime_error(fmt::format(
        "rules-push installed {} rules, not {}; its last line: {}", installed, expectedInstalled,
        last));
  }
}

void deploy(e2e::Fleet& fleet, const Options& options, const fs::path& dir) {
  const fs::path fleetFile = dir / "fleet.txt";
  fleet.writeFleetFile(fleetFile);
  std::vector<double> walls, cpus, peaks;
  for (std::size_t repeat = 1; repeat <= options.repeats; ++repeat) {
    std::vector<std::string> args = {"--fleet", fleetFile.string(), "--configuration",
                                     EXAMPLE_STRUCTURE};
    const auto rules = writeRules(dir, options.rules, repeat);
    args.insert(args.end(), rules.begin(), rules.end());
    args.push_back("--json");
    const PushRun run = runPush(args, dir);
    checkRun(run, options.rules * fleet.size());
    fmt::print("repeat {}: {:.2f} s, CPU {:.2f} s, peak RSS {:.1f} MiB\n", repeat, run.wallSeconds,
               run.cpuSeconds, run.peakMiB);
    walls.push_back(run.wallSeconds);
    cpus.push_back(run.cpuSeconds);
    peaks.push_back(run.peakMiB);
  }
  fmt::print("medians of {}: {} rules and the IO structure to {} controllers in {:.2f} s "
             "({:.1f} ms per controller); rules-push CPU (user+sys) {:.2f} s, peak RSS {:.1f} MiB\n",
             options.repeats, options.rules, fleet.size(), median(walls),
             median(walls) * 1000 / double(fleet.size()), median(cpus), median(peaks));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = parse(argc, argv);
    requirePrivateMounts();
    testsupport::TempDir scratch;
    auto start = Clock::now();
    auto fleet = std::make_unique<e2e::Fleet>(options.controllers);
    const double spawned = secondsSince(start);
    fleet->waitForStates({"waiting"}, std::chrono::seconds(300));
    fmt::print("{} controllers up, each \"waiting\" on the central broker, in {:.2f} s "
               "(brokers and services started in {:.2f} s)\n",
               options.controllers, secondsSince(start), spawned);
    if (!options.startupOnly) {
      deploy(*fleet, options, scratch.path());
    }
    start = Clock::now();
    fleet.reset();
    fmt::print("fleet torn down in {:.2f} s\n", secondsSince(start));
  } catch (const std::exception& error) {
    std::cerr << "fleet_benchmark: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
