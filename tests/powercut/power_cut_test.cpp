// The power-cut proof. The service runs on the crash-simulation file system mounted over its rule
// directory and its state directory (one power supply for both) and takes bursts of rule updates; at an operation chosen by the seed it is killed,
// the rule directory is rebuilt as a power cut at that moment may leave it, and the service is
// started on it again. After its start-up sweep the invariants of RuleHistory must hold, for the
// rule directory and for the state store read beside the service, and the sweep must have logged
// every file it removed or put back.
//
//   power_cut_test [--seed S] [--cuts N]        (or POWER_CUT_SEED, POWER_CUT_CUTS)
//
// It runs through run-in-private-mounts.sh, whose mount namespace it mounts the layer in; it
// starts the service binary itself. Exit status: 0 no violation; 1 violations or a failure;
// 77 skipped (the reason is printed), also when violations are found while POWER_CUT_ENFORCED=0.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "crash_fs.h"
#include "rule_history.h"
#include "service_process.h"
#include "store_image.h"
#include "talvoro/rules_protocol.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_mqtt_client.h"
#include "testsupport/text_and_namespaces.h"

namespace powercut {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace protocol = talvoro::protocol;

const fs::path kRulesDir = "/etc/wb-rules";
const fs::path kTraceDir = "/var/log/p7/rules-preprocessor";
const fs::path kStateDir = "/var/lib/rules-preprocessor";
constexpr int kSkipped = 77;

constexpr std::size_t kRuleNames = 50;
constexpr std::size_t kMinBurst = 30;
constexpr std::size_t kMaxBurst = 60;
// A rule update changes the directory six or seven times (create, chmod, write, fsync, rename
// aside, rename into place, unlink the aside; a directory sync per batch, two with a clear), and
// the state store's transaction of its batch a few more (WAL writes and their fsync). Cuts are
// drawn over twelve operations per message, so that some (one in a hundred to one in ten) fall
// after the burst's end.
constexpr std::size_t kOperationsPerMessage = 12;
// One message in this many clears its rule (an empty text).
constexpr std::size_t kClearEvery = 8;
// Faults injected during a burst; the restart after a cut runs without, so that what its sweep
// leaves is judged, not the faults.
const CrashSimulationFs::Faults kBurstFaults{0.02, 0.01, 0.01, {}};
// Chains of cuts run side by side, each in a process and a mount namespace of its own (rule and
// log directories, broker, service): a restart is mostly waiting for the service's MQTT client,
// so two chains take little more time than one. Chain i draws from the seed plus i.
constexpr std::size_t kChains = 2;

const std::string kConfiguration =
    R"({"elements": {"lamp1": {"device": "relay_7", "port": 3, "cells": ["K2"]}}})";
const std::string kPlaceholder = "DEVICE_NAME(lamp1)";
const std::string kDevice = "relay_7";

class HarnessError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string translation(std::string text) {
  for (auto at = text.find(kPlaceholder); at != std::string::npos;
       at = text.find(kPlaceholder, at + kDevice.size())) {
    text.replace(at, kPlaceholder.size(), kDevice);
  }
  return text;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Options {
  std::uint64_t seed;
  std::size_t cuts = 500;
  bool enforced = true;
};

// One chain's share of the run.
struct Chain {
  std::size_t index;
  std::uint64_t seed;
  std::size_t cuts;
};

struct Cut {
  std::size_t number;
  std::uint64_t heldOperation;  // 0: after the burst
  std::size_t keptOperations;
  std::size_t unsyncedOperations;
  std::size_t keptStoreOperations;  // of the state directory's
  std::size_t unsyncedStoreOperations;
};

class PowerCutProof {
 public:
  explicit PowerCutProof(const Chain& chain)
      : chain_(chain),
        random_(chain.seed),
        history_(translation),
        service_(broker_.url(), scratch_.path()) {
    fs::create_directory(disk(0));
    fs_ = std::make_unique<CrashSimulationFs>(kRulesDir.string(), disk(0).string(),
                                              chain.seed ^ 0x9e3779b97f4a7c15u);
    fs::create_directory(stateDisk(0));
    stateFs_ = std::make_unique<CrashSimulationFs>(kStateDir.string(), stateDisk(0).string(),
                                                   chain.seed, LayerOptions{fs_->power(), true});
    client_.connect(broker_.url(), "power-cut-proof");
    for (const std::string& prefix : {protocol::kStatusTopicPrefix,
                                      protocol::kRuleResultTopicPrefix, protocol::kRulesTopicPrefix}) {
      client_.subscribe(prefix + "#", 1);
    }
    client_.subscribe(protocol::kStateTopic, 1);
    for (std::size_t i = 0; i < kRuleNames; ++i) {
      names_.push_back(fmt::format("rule-{:02}", i));
    }
    names_[0] = "kitchen light";
    names_[1] = "свет в зале";
  }

  ~PowerCutProof() {
    // A process waiting in a held operation can only die once the operation is let go.
    service_.kill();
    fs_->endCut();
    fs_->openGate(0);
    service_.wait();
  }

  // Runs every cut; the number of violations.
  std::size_t run() {
    startService([] {});
    for (std::size_t number = 1; number <= chain_.cuts; ++number) {
      Cut cut = burstAndCut(number);
      restartOnCrashState(cut);
    }
    service_.kill();
    service_.wait();
    const auto counts = fs_->counts();
    const auto storeCounts = stateFs_->counts();
    std::cout << fmt::format(
        "chain {}: {} cuts within a burst, {} after it; {} messages acknowledged, {} of them "
        "clears; {} file syncs, {} directory syncs; failed on purpose: {} syncs, {} renames, "
        "{} unlinks; state directory: {} file syncs, {} directory syncs\n",
        chain_.index, cutsWithin_, chain_.cuts - cutsWithin_, history_.acknowledgements(),
        history_.acknowledgedClears(), counts.fileSyncs, counts.directorySyncs,
        counts.failedSyncs, counts.failedRenames, counts.failedUnlinks, storeCounts.fileSyncs,
        storeCounts.directorySyncs)
              << std::flush;
    std::size_t violations = 0;
    for (const auto& [kind, count] : violationsByKind_) {
      std::cout << fmt::format("chain {}: violations: {}: {}\n", chain_.index, kind, count)
                << std::flush;
      violations += count;
    }
    return violations;
  }

  std::size_t statesChecked() const { return statesChecked_; }

 private:
  fs::path disk(std::size_t number) const {
    return scratch_.path() / fmt::format("disk-{}", number);
  }

  fs::path stateDisk(std::size_t number) const {
    return scratch_.path() / fmt::format("state-disk-{}", number);
  }

  // Takes the broker's messages for `timeout` at most, until `done`.
  template <typename Done>
  void waitUntil(Done done, std::chrono::milliseconds timeout, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline || service_.exited()) {
        throw HarnessError(fmt::format("{} did not happen (the service's output: {})", what,
                                       readFile(scratch_.path() / "service.out")));
      }
      take(2ms);
    }
  }

  void take(std::chrono::milliseconds timeout) {
    const auto message = client_.waitMessage(timeout);
    if (!message) {
      return;
    }
    const std::string& topic = message->topic;
    const auto nameAfter = [&](const std::string& prefix) { return topic.substr(prefix.size()); };
    if (topic.compare(0, protocol::kStatusTopicPrefix.size(), protocol::kStatusTopicPrefix) == 0) {
      history_.status(nameAfter(protocol::kStatusTopicPrefix), message->payload);
    } else if (topic.compare(0, protocol::kRuleResultTopicPrefix.size(),
                             protocol::kRuleResultTopicPrefix) == 0) {
      history_.result(nameAfter(protocol::kRuleResultTopicPrefix), message->payload);
    } else if (topic == protocol::kStateTopic) {
      states_.push_back(message->payload);
    } else {
      ++echoes_;
    }
  }

  void waitState(const std::string& state) {
    waitUntil(
        [&] {
          while (!states_.empty() && states_.front() != state) {
            states_.pop_front();
          }
          return !states_.empty();
        },
        60s, fmt::format("the state \"{}\"", state));
    states_.pop_front();
  }

  // The broker's log tells when the service subscribed: its own "waiting" and "ready" may
  // come a poll interval later.
  std::size_t subscriptions(const std::string& filter) {
    std::string text = brokerLogTail_ + broker_.logFrom(brokerLogOffset_);
    brokerLogOffset_ += text.size() - brokerLogTail_.size();
    const std::size_t complete = text.rfind('\n') + 1;  // 0 without a whole line
    brokerLogTail_ = text.substr(complete);
    text.resize(complete);
    for (auto& [pattern, count] : subscriptions_) {
      count += testsupport::countOccurrences(text, pattern + " (QoS 0)");
    }
    return subscriptions_[filter];
  }

  // Waits until the service subscribed to `filter` more than `before` times.
  void waitForSubscription(const std::string& filter, std::size_t before) {
    waitUntil([&] { return subscriptions(filter) > before; }, 60s,
              fmt::format("the service's subscription to {}", filter));
  }

  // Starts the service and hands it the IO structure. The start-up sweep is done once the
  // service subscribes (it comes before the connection), and `check` runs then. The service
  // opens the rules topic with the IO structure it kept, or with the one it gets now.
  template <typename Check>
  void startService(Check check) {
    const std::size_t configurationSubscriptions = subscriptions(protocol::kConfigurationTopic);
    const std::size_t rulesSubscriptions = subscriptions(rulesFilter_);
    service_.start();
    waitForSubscription(protocol::kConfigurationTopic, configurationSubscriptions);
    check();
    client_.publish(protocol::kConfigurationTopic, kConfiguration, 1);
    waitForSubscription(rulesFilter_, rulesSubscriptions);
  }

  void publish(const std::string& name, const std::string& text) {
    history_.sent(name, text);
    client_.publish(protocol::kRulesTopicPrefix + name, text, 1);
    ++published_;
  }

  std::string newVersion(const std::string& name) {
    const std::size_t version = ++versions_[name];
    std::string text = fmt::format("// {} version {}\n", name, version);
    if (random_() % 10 < 4) {
      text += fmt::format("// {}\n", 1700000000 + ++timestamps_);
    }
    text += fmt::format("defineRule(\"{}\", {{\n  whenChanged: \"{}/K2\",\n  then: function () {{\n",
                        name, kPlaceholder);
    const std::size_t steps = 2 + random_() % 40;
    for (std::size_t step = 0; step < steps; ++step) {
      text += fmt::format("    log(\"{} version {} step {}\");\n", name, version, step);
    }
    text += "  }\n});\n";
    texts_[name].push_back(text);
    return text;
  }

  // A new version of a rule, now and then one sent before (it ends unchanged or outdated, or is
  // installed again when no timestamp line speaks against it), or a clear.
  std::string nextText(const std::string& name) {
    const auto& sent = texts_[name];
    if (random_() % kClearEvery == 0) {
      return {};
    }
    if (!sent.empty() && random_() % 20 == 0) {
      return sent[random_() % sent.size()];
    }
    return newVersion(name);
  }

  // The gate holds the service in its first file operation while the burst queues up behind
  // it, so that the service takes the burst in the largest batches it makes, the same in every
  // run of a seed.
  void publishBurstBehindGate(std::size_t cut) {
    fs_->closeGate();
    publish("gate", fmt::format("// before the burst of cut {}\n", cut));
    waitUntil([&] { return fs_->gateHeld(); }, 60s, "the service's first operation at the gate");
    const std::size_t size = kMinBurst + random_() % (kMaxBurst - kMinBurst + 1);
    for (std::size_t i = 0; i < size; ++i) {
      const std::string& name = names_[random_() % names_.size()];
      publish(name, nextText(name));
    }
    waitUntil([&] { return echoes_ == published_; }, 60s, "the burst's delivery");
    waitUntil([&] { return service_.unreadSocketBytes() == 0; }, 60s,
              "the service's reading of the burst");
    std::this_thread::sleep_for(5ms);  // for the MQTT client's hand-over of the last message
    burstSize_ = size + 1;
  }

  Cut burstAndCut(std::size_t number) {
    publishBurstBehindGate(number);
    const std::uint64_t cutAt = 1 + random_() % (kOperationsPerMessage * burstSize_);
    fs_->setFaults(kBurstFaults);
    fs_->openGate(cutAt);
    bool held = false;
    waitUntil([&] { return (held = fs_->cutHeld()) || history_.allAnswered(); }, 60s,
              "the burst's end");
    // Killed before the held operation is let go, so that it is never performed and the
    // service does nothing after it.
    service_.kill();
    fs_->endCut();
    service_.wait();
    fs_->setFaults({});
    waitState("offline");  // after every status that the service sent
    history_.forgetUnanswered();
    cutsWithin_ += held ? 1 : 0;
    const std::size_t unsynced = fs_->unsyncedOperations();
    const std::size_t kept = random_() % (unsynced + 1);
    const std::size_t storeUnsynced = stateFs_->unsyncedOperations();
    return {number, held ? cutAt : 0, kept, unsynced, random_() % (storeUnsynced + 1),
            storeUnsynced};
  }

  // What the cut left of `layer`'s directory becomes its backing directory `next`, in place
  // of `previous`.
  static void restore(CrashSimulationFs& layer, const DirectoryImage& image, const fs::path& next,
                      const fs::path& previous) {
    fs::create_directory(next);
    for (const auto& [name, content] : image) {
      std::ofstream(next / name, std::ios::binary) << content;
    }
    layer.switchBacking(next.string());
    fs::remove_all(previous);
  }

  void restartOnCrashState(const Cut& cut) {
    const DirectoryImage image = fs_->crashImage(cut.keptOperations);
    const fs::path next = disk(cut.number);
    restore(*fs_, image, next, disk(cut.number - 1));
    restore(*stateFs_, stateFs_->crashImage(cut.keptStoreOperations), stateDisk(cut.number),
            stateDisk(cut.number - 1));
    std::error_code ignored;
    fs::remove_all(kTraceDir, ignored);
    startService([&] { check(cut, image, next); });
  }

  void check(const Cut& cut, const DirectoryImage& before, const fs::path& disk) {
    ++statesChecked_;
    DirectoryImage after;
    for (const auto& entry : fs::directory_iterator(disk)) {
      after[entry.path().filename().string()] = readFile(entry.path());
    }
    std::vector<Violation> found = history_.violations(after);
    try {
      const std::vector<Violation> store =
          history_.storeViolations(readStore((kStateDir / "state.db").string()), after);
      found.insert(found.end(), store.begin(), store.end());
    } catch (const std::runtime_error& error) {
      found.push_back({"state store unreadable", error.what()});
    }
    const std::string trace = traceLog();
    for (const auto& [name, content] : before) {
      if ((isTemporaryFile(name) || isAsideFile(name)) && !sweepLogged(name, trace)) {
        found.push_back({"sweep without a record", name});
      }
    }
    for (const Violation& violation : found) {
      if (++violationsByKind_[violation.kind] <= kReportedPerKind) {
        std::cout << fmt::format(
            "chain {}, cut {} ({}; {} of {} unsynced directory operations kept, {} of {} of "
            "the state directory): {}: {}\n",
            chain_.index, cut.number,
            cut.heldOperation == 0 ? "after the burst"
                                   : fmt::format("at operation {} of the burst", cut.heldOperation),
            cut.keptOperations, cut.unsyncedOperations, cut.keptStoreOperations,
            cut.unsyncedStoreOperations, violation.kind, violation.detail)
                  << std::flush;  // a line at a time: the other chain writes too
      }
    }
  }

  static std::string traceLog() {
    std::string text;
    std::error_code error;
    for (const auto& file : fs::directory_iterator(kTraceDir, error)) {
      text += readFile(file.path());
    }
    return text;
  }

  // A temporary file is removed; an aside file is removed, or put back under its old name.
  static bool sweepLogged(const std::string& name, const std::string& trace) {
    const std::string path = (kRulesDir / name).string();
    if (trace.find(fmt::format("Удалён файл {}, оставшийся от прерванной установки правила",
                               path)) != std::string::npos) {
      return true;
    }
    if (!isAsideFile(name)) {
      return false;
    }
    const std::string original = name.substr(1, name.size() - 5) + "__.js";
    return trace.find(fmt::format("прежняя версия {} возвращена на место",
                                  (kRulesDir / original).string())) != std::string::npos;
  }

  // The first few of each kind are reported in full.
  static constexpr std::size_t kReportedPerKind = 3;

  Chain chain_;
  std::mt19937_64 random_;
  testsupport::TempDir scratch_;
  testsupport::MosquittoBroker broker_;
  testsupport::TestMqttClient client_;
  RuleHistory history_;
  std::unique_ptr<CrashSimulationFs> fs_;
  std::unique_ptr<CrashSimulationFs> stateFs_;  // on the same power switch
  ServiceProcess service_;  // destroyed before the file system it uses

  std::vector<std::string> names_;
  std::map<std::string, std::size_t> versions_;
  std::map<std::string, std::vector<std::string>> texts_;
  std::size_t timestamps_ = 0;
  std::size_t published_ = 0;
  std::size_t echoes_ = 0;
  std::size_t burstSize_ = 0;
  std::deque<std::string> states_;
  const std::string rulesFilter_ = protocol::kRulesTopicPrefix + "+";
  std::map<std::string, std::size_t> subscriptions_{{protocol::kConfigurationTopic, 0},
                                                    {rulesFilter_, 0}};
  std::size_t brokerLogOffset_ = 0;
  std::string brokerLogTail_;
  std::size_t cutsWithin_ = 0;
  std::size_t statesChecked_ = 0;
  std::map<std::string, std::size_t> violationsByKind_;
};

std::uint64_t parseNumber(const std::string& text, const char* what) {
  try {
    std::size_t end = 0;
    const auto value = std::stoull(text, &end);
    if (end == text.size()) {
      return value;
    }
  } catch (const std::exception&) {
  }
  throw std::invalid_argument(fmt::format("{} must be a number, not \"{}\"", what, text));
}

Options parseOptions(int argc, char** argv) {
  Options options;
  options.seed = std::random_device{}();
  if (const char* seed = std::getenv("POWER_CUT_SEED")) {
    options.seed = parseNumber(seed, "POWER_CUT_SEED");
  }
  if (const char* cuts = std::getenv("POWER_CUT_CUTS")) {
    options.cuts = parseNumber(cuts, "POWER_CUT_CUTS");
  }
  if (const char* enforced = std::getenv("POWER_CUT_ENFORCED")) {
    options.enforced = std::string(enforced) != "0";
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seed") {
      options.seed = parseNumber(argv[i + 1], "--seed");
    } else if (option == "--cuts") {
      options.cuts = parseNumber(argv[i + 1], "--cuts");
    } else {
      throw std::invalid_argument("unknown option " + option);
    }
  }
  if (argc % 2 == 0) {
    throw std::invalid_argument(fmt::format("{} needs a value", argv[argc - 1]));
  }
  return options;
}

// Why the proof cannot run here; empty when it can.
std::string missingPrerequisite() {
  if (!testsupport::MosquittoBroker::available()) {
    return "mosquitto is not installed";
  }
  if (!testsupport::inPrivateMountNamespace()) {
    return "not in a private mount namespace (run it through run-in-private-mounts.sh)";
  }
  const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) {
    return fmt::format("/dev/fuse cannot be opened: {}", std::strerror(errno));
  }
  ::close(fuse);
  return {};
}

int skip(const std::string& reason) {
  if (testsupport::runningInCi()) {
    std::cout << "power_cut_test: " << reason << " (required under CI=true)\n";
    return 1;
  }
  std::cout << "power_cut_test: skipped: " << reason << "\n";
  return kSkipped;
}

// The chain's report to the parent, one line: "ok STATES VIOLATIONS", "skip REASON" or
// "error MESSAGE".
std::string runChain(const Chain& chain) {
  try {
    // Its own mount namespace: its own /etc/wb-rules and state directory (the layers, over a
    // tmpfs) and /var/log/p7.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/var/log/p7", "tmpfs", 0, nullptr) != 0 ||
        ::mount("tmpfs", "/var/lib/rules-preprocessor", "tmpfs", 0, nullptr) != 0) {
      throw HarnessError(fmt::format("a mount namespace for chain {}: {}", chain.index,
                                     std::strerror(errno)));
    }
    PowerCutProof proof(chain);
    const std::size_t violations = proof.run();
    return fmt::format("ok {} {}", proof.statesChecked(), violations);
  } catch (const MountRefused& error) {
    return fmt::format("skip {}", error.what());
  } catch (const std::exception& error) {
    return fmt::format("error chain {}: {}", chain.index, error.what());
  }
}

// Starts the chain in a child process; its report comes through the returned descriptor.
int startChain(const Chain& chain) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    throw HarnessError(fmt::format("pipe: {}", std::strerror(errno)));
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw HarnessError(fmt::format("fork: {}", std::strerror(errno)));
  }
  if (pid == 0) {
    ::close(report[0]);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const std::string line = ::getppid() == parent ? runChain(chain) : "error orphaned";
    std::cout.flush();
    const bool written = ::write(report[1], line.data(), line.size()) ==
                         static_cast<ssize_t>(line.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(report[1]);
  return report[0];
}

std::string readReport(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno != EINTR) {
      break;
    }
    text.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
  }
  ::close(fd);
  return text.empty() ? "error a chain ended without a report" : text;
}

int run(const Options& options) {
  std::cout << fmt::format("power cut: seed {} (replay with POWER_CUT_SEED={}), {} cuts in {} chains\n",
                           options.seed, options.seed, options.cuts, kChains);
  if (const std::string missing = missingPrerequisite(); !missing.empty()) {
    return skip(missing);
  }
  std::cout.flush();  // else the children print it again
  std::vector<int> reports;
  for (std::size_t i = 0; i < kChains; ++i) {
    const std::size_t cuts = options.cuts / kChains + (i < options.cuts % kChains ? 1 : 0);
    reports.push_back(startChain({i + 1, options.seed + i, cuts}));
  }
  std::size_t states = 0;
  std::size_t violations = 0;
  std::string skipped;
  std::string failed;
  for (const int fd : reports) {
    const std::string report = readReport(fd);
    std::istringstream fields(report);
    std::string verdict;
    std::size_t chainStates = 0;
    std::size_t chainViolations = 0;
    fields >> verdict;
    if (verdict == "ok" && fields >> chainStates >> chainViolations) {
      states += chainStates;
      violations += chainViolations;
    } else if (verdict == "skip") {
      skipped = report.substr(5);
    } else {
      failed = report;
    }
  }
  while (::wait(nullptr) > 0 || errno == EINTR) {
  }
  if (!failed.empty()) {
    std::cout << "power_cut_test: " << failed.substr(failed.find(' ') + 1) << "\n";
    return 1;
  }
  if (!skipped.empty()) {
    return skip(skipped);
  }
  std::cout << fmt::format("seed {}: {} cuts, {} states checked, {} violations\n", options.seed,
                           options.cuts, states, violations);
  if (violations == 0) {
    return 0;
  }
  if (!options.enforced) {
    std::cout << "power_cut_test: skipped: violations are reported but not enforced "
                 "(POWER_CUT_ENFORCED=0)\n";
    return kSkipped;
  }
  return 1;
}

}  // namespace
}  // namespace powercut

int main(int argc, char** argv) {
  try {
    return powercut::run(powercut::parseOptions(argc, argv));
  } catch (const std::exception& error) {
    std::cout << "power_cut_test: " << error.what() << "\n";
    return 1;
  }
}
