#include "service_case.h"

#include <unistd.h>

#include <fmt/format.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <stdexcept>

#include "talvoro/signing/signatures.h"
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

}  // namespace

// Rules "<prefix><n>" for n below `rules`; request k updates rule k % rules.
class RuleExchange : public Exchange {
 public:
  RuleExchange(testsupport::TestMqttClient& client, std::string prefix, std::size_t rules,
               std::size_t ruleBytes, const talvoro::signing::PrivateKey* key)
      : client_(client), prefix_(std::move(prefix)), rules_(rules), ruleBytes_(ruleBytes),
        key_(key) {}

  std::string name(std::size_t rule) const { return prefix_ + std::to_string(rule); }
  std::string text(std::size_t rule, std::size_t version) const {
    return ruleText(name(rule), version, ruleBytes_);
  }
  // Request `index`: a new version of rule index % rules (version 0 is the
  // pre-installed one), signed, with a timestamp line newer each time, when
  // the service is in signed mode.
  std::string payload(std::size_t index) const {
    const std::size_t rule = index % rules_;
    std::string text = this->text(rule, index + 1);
    if (key_ == nullptr) {
      return text;
    }
    return talvoro::signing::signRule(*key_, name(rule),
                                      fmt::format("// {}\n{}", kFirstTimestamp + index, text));
  }

  // Signed payloads are made before the clock runs: the publisher's signing
  // would otherwise slow the arrival of rules and shrink the service's batches.
  void prepare(std::size_t first, std::size_t count) override {
    signed_.clear();
    if (key_ == nullptr) {
      return;
    }
    for (std::size_t index = first; index < first + count; ++index) {
      signed_[index] = payload(index);
    }
  }

  void send(std::size_t index) override {
    const std::size_t rule = index % rules_;
    const auto ready = signed_.find(index);
    const std::string message = ready != signed_.end() ? ready->second : payload(index);
    expected_[name(rule)].push_back(std::to_string(zlibCrc32(message)));
    client_.publish(kRulesPrefix + name(rule), message, 1);
  }

  bool answers(const testsupport::Received& message) override {
    if (message.retained) {
      return false;  // a status of an earlier run, delivered on subscription
    }
    const std::string rule = message.topic.substr(std::strlen(kStatusPrefix));
    if (rule.compare(0, prefix_.size(), prefix_) != 0) {
      return false;  // a status of another case's service on the same broker
    }
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
  static constexpr long long kFirstTimestamp = 1765090800;

  std::size_t ruleBytes_;
  const talvoro::signing::PrivateKey* key_;
  std::map<std::size_t, std::string> signed_;  // prepared payloads by request index
  std::map<std::string, std::deque<std::string>> expected_;
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
                         std::size_t rules, std::size_t ruleBytes, const std::string& binary,
                         const std::string& label, const Signing* signing) {
  const std::string prefix = fmt::format("{}{}-", label, rules);
  auto exchange = std::make_unique<RuleExchange>(client(), prefix, rules, ruleBytes,
                                                 signing != nullptr ? signing->key : nullptr);
  installRuleFiles(*exchange, dir / "wb-rules", rules);
  client().connect(broker.url(), "speed-" + prefix + "publisher");
  client().subscribe(std::string(kStatusPrefix) + "#", 1);
  startConfigured(broker, dir, binary, signing);
  drive(std::move(exchange), service_->pid());
}

void ServiceCase::startConfigured(const testsupport::MosquittoBroker& broker, const fs::path& dir,
                                  const std::string& binary, const Signing* signing) {
  for (const char* subdir : {"p7", "work"}) {
    fs::create_directories(dir / subdir);
  }
  // The broker serves earlier cases too: count their subscriptions.
  const std::string configurationSubscription = std::string(kConfigurationTopic) + " (QoS 0)";
  const std::string rulesSubscription = std::string(kRulesPrefix) + "+ (QoS 0)";
  const std::string log = broker.log();
  const std::size_t configurations = testsupport::countOccurrences(log, configurationSubscription);
  const std::size_t ruleTopics = testsupport::countOccurrences(log, rulesSubscription);
  std::map<std::string, std::string> environment;
  std::string configuration = kConfiguration;
  if (signing != nullptr) {
    environment["RULES_TRUSTED_KEYS"] = signing->trustedKeysDir;
    configuration = talvoro::signing::signConfiguration(*signing->key, configuration, 1765090000);
  }
  service_ = std::make_unique<e2e::ServiceProcess>(broker.url(), dir / "wb-rules", dir / "p7",
                                                   dir / "work", binary, environment);
  waitForBrokerLog(broker, configurationSubscription, configurations + 1,
                   "subscribe to its configuration");
  client().publish(kConfigurationTopic, configuration, 1);
  waitForBrokerLog(broker, rulesSubscription, ruleTopics + 1, "subscribe to rules");
}

}  // namespace speed
