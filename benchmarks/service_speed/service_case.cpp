#include "service_case.h"

#include <unistd.h>

#include <fmt/format.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "service_fixture.h"
#include "testsupport/eventually.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/text_and_namespaces.h"

namespace speed {
namespace fs = std::filesystem;
namespace {

constexpr const char* kConfigurationTopic = "/tl/bridge/configuration";
constexpr const char* kRulesPrefix = "/tl/bridge/rules/add/";
constexpr const char* kStatusPrefix = "/tl/bridge/rules/status/";
constexpr const char* kConfiguration = R"({"elements": {"lamp1": {"device": "relay_7"}}})";
constexpr const char* kPlaceholder = "DEVICE_NAME(lamp1)";
constexpr const char* kDevice = "relay_7";

// A rule text of exactly `bytes` bytes (at least about 200) that differs for
// every version, with one placeholder and no timestamp line.
std::string ruleText(const std::string& name, std::size_t version, std::size_t bytes) {
  std::string text = fmt::format(
      "// {} version {}\n"
      "defineRule(\"{}\", {{\n"
      "  whenChanged: \"{}/K1\",\n"
      "  then: function (newValue) {{\n"
      "    log(\"{} is now \" + newValue);\n"
      "  }}\n"
      "}});\n",
      name, version, name, kPlaceholder, name);
  const std::string fillerLine = "// ";
  if (text.size() + fillerLine.size() + 1 < bytes) {
    text += fillerLine + std::string(bytes - text.size() - fillerLine.size() - 1, '.') + "\n";
  }
  return text;
}

std::string translated(std::string text) {
  const std::string placeholder = kPlaceholder;
  for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at)) {
    text.replace(at, placeholder.size(), kDevice);
  }
  return text;
}

// utime + stime of a process, in seconds.
double processCpuSeconds(pid_t pid) {
  std::ifstream in(fmt::format("/proc/{}/stat", pid));
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skipped;
  for (int field = 3; field < 14; ++field) {  // state .. cmajflt
    fields >> skipped;
  }
  double utime = 0;
  double stime = 0;
  if (!(fields >> utime >> stime)) {
    throw std::runtime_error(fmt::format("cannot read the CPU times of process {}", pid));
  }
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double residentMiB(pid_t pid) {
  std::ifstream status(fmt::format("/proc/{}/status", pid));
  for (std::string field; status >> field;) {
    double kilobytes = 0;
    if (field == "VmRSS:" && status >> kilobytes) {
      return kilobytes / 1024;
    }
  }
  return 0;
}

}  // namespace

// Rules "<prefix><n>" for n below `rules`; request k updates rule k % rules.
class RuleExchange : public Exchange {
 public:
  RuleExchange(testsupport::TestMqttClient& client, std::string prefix, std::size_t rules,
               std::size_t ruleBytes)
      : client_(client), prefix_(std::move(prefix)), rules_(rules), ruleBytes_(ruleBytes) {}

  std::string name(std::size_t rule) const { return prefix_ + std::to_string(rule); }
  std::string text(std::size_t rule, std::size_t version) const {
    return ruleText(name(rule), version, ruleBytes_);
  }

  void send(std::size_t index) override {
    const std::size_t rule = index % rules_;
    // Version 0 is the pre-installed one.
    const std::string payload = text(rule, index + 1);
    expected_[name(rule)].push_back(std::to_string(zlibCrc32(payload)));
    client_.publish(kRulesPrefix + name(rule), payload, 1);
  }

  bool answers(const testsupport::Received& message) override {
    if (message.retained) {
      return false;  // a status of an earlier run, delivered on subscription
    }
    const std::string rule = message.topic.substr(std::strlen(kStatusPrefix));
    auto& pending = expected_[rule];
    if (pending.empty() || pending.front() != message.payload) {
      throw std::runtime_error(fmt::format("status {} for {}: expected {}", message.payload, rule,
                                           pending.empty() ? "none" : pending.front()));
    }
    pending.pop_front();
    return true;
  }

 private:
  testsupport::TestMqttClient& client_;
  std::string prefix_;
  std::size_t rules_;
  std::size_t ruleBytes_;
  std::map<std::string, std::deque<std::string>> expected_;
};

struct ServiceCase::State {
  testsupport::TestMqttClient client;
  std::unique_ptr<RuleExchange> exchange;
  std::unique_ptr<e2e::ServiceProcess> service;
  pid_t pid = -1;
  std::size_t next = 0;
};

namespace {

void installRuleFiles(const RuleExchange& exchange, const fs::path& rulesDir, std::size_t rules) {
  fs::create_directories(rulesDir);
  for (std::size_t rule = 0; rule < rules; ++rule) {
    const std::string text = translated(exchange.text(rule, 0));
    const std::string file = fmt::format("{}-__{}__.js", exchange.name(rule), std::hash<std::string>{}(text));
    std::ofstream(rulesDir / file, std::ios::binary) << text;
  }
  ::sync();
}

void waitForBrokerLog(const testsupport::MosquittoBroker& broker, const std::string& text,
                      std::size_t count, const std::string& what) {
  if (!testsupport::eventually(
          [&] { return testsupport::countOccurrences(broker.log(), text) >= count; },
          std::chrono::seconds(30))) {
    throw std::runtime_error(fmt::format("the service did not {} within 30 s", what));
  }
}

}  // namespace

ServiceCase::ServiceCase(const testsupport::MosquittoBroker& broker, const fs::path& dir,
                         std::size_t rules, std::size_t ruleBytes)
    : state_(std::make_unique<State>()) {
  const std::string prefix = fmt::format("speed{}-", rules);
  state_->exchange = std::make_unique<RuleExchange>(state_->client, prefix, rules, ruleBytes);
  installRuleFiles(*state_->exchange, dir / "wb-rules", rules);
  for (const char* subdir : {"p7", "work"}) {
    fs::create_directories(dir / subdir);
  }
  state_->client.connect(broker.url(), "speed-" + prefix + "publisher");
  state_->client.subscribe(std::string(kStatusPrefix) + "#", 1);

  // The broker serves earlier cases too: count their subscriptions.
  const std::string configurationSubscription = std::string(kConfigurationTopic) + " (QoS 0)";
  const std::string rulesSubscription = std::string(kRulesPrefix) + "+ (QoS 0)";
  const std::string log = broker.log();
  const std::size_t configurations = testsupport::countOccurrences(log, configurationSubscription);
  const std::size_t ruleTopics = testsupport::countOccurrences(log, rulesSubscription);
  state_->service = std::make_unique<e2e::ServiceProcess>(broker.url(), dir / "wb-rules",
                                                          dir / "p7", dir / "work");
  state_->pid = state_->service->pid();
  waitForBrokerLog(broker, configurationSubscription, configurations + 1,
                   "subscribe to its configuration");
  state_->client.publish(kConfigurationTopic, kConfiguration, 1);
  waitForBrokerLog(broker, rulesSubscription, ruleTopics + 1, "subscribe to rules");
}

ServiceCase::~ServiceCase() = default;

Figures ServiceCase::oneAtATime(std::size_t count) {
  const double cpuBefore = processCpuSeconds(state_->pid);
  Figures figures = latencyFigures(speed::oneAtATime(state_->client, *state_->exchange, state_->next, count));
  figures.cpuMsPerOp = (processCpuSeconds(state_->pid) - cpuBefore) * 1e3 / static_cast<double>(count);
  state_->next += count;
  return figures;
}

Figures ServiceCase::pipelined(std::size_t count, std::size_t inFlight) {
  const double cpuBefore = processCpuSeconds(state_->pid);
  Figures figures;
  figures.perSecond = speed::pipelined(state_->client, *state_->exchange, state_->next, count, inFlight);
  figures.cpuMsPerOp = (processCpuSeconds(state_->pid) - cpuBefore) * 1e3 / static_cast<double>(count);
  figures.rssMiB = residentMiB(state_->pid);
  state_->next += count;
  return figures;
}

}  // namespace speed
