#include "service_fixture.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "talvoro/rule_crc.h"

namespace e2e {
namespace {

constexpr const char* kStatusPrefix = "/tl/bridge/rules/status/";
constexpr const char* kRulesPrefix = "/tl/bridge/rules/add/";

}  // namespace

const char* const kStandardErrorFile = "service.stderr";

std::string readAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> ruleFilesIn(const fs::path& rulesDir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(rulesDir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> rulesOf(const std::vector<std::string>& files) {
  std::vector<std::string> names;
  for (const std::string& file : files) {
    names.push_back(file.substr(0, file.find("-__")));
  }
  return names;
}

std::string traceLogIn(const fs::path& logsDir) {
  std::vector<fs::path> files;
  const fs::path dir = logsDir / "rules-preprocessor";
  if (fs::exists(dir)) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  std::string text;
  for (const auto& file : files) {
    text += readAll(file);
  }
  return text;
}

std::uint32_t crc32Of(const std::string& bytes) { return talvoro::protocol::ruleCrc(bytes); }

std::string crcText(const std::string& bytes) { return std::to_string(crc32Of(bytes)); }

ServiceProcess::ServiceProcess(const std::string& brokerUrl,
                               const fs::path& rulesDir, const fs::path& logsDir,
                               const fs::path& workDir, const std::string& binary,
                               const std::map<std::string, std::string>& environment) {
  const std::vector<std::string> args = {
      RUN_IN_PRIVATE_MOUNTS, "--rules", rulesDir.string(), "--logs", logsDir.string(),
      "--state", (workDir / "state").string(), "--argv0", "rules-preprocessor", "--",
      binary};
  // The IO structure kept from one run to the next.
  fs::create_directories(workDir / "state");
  std::vector<char*> argv;
  for (const auto& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    ::setenv("MQTT_BROKER_URL", brokerUrl.c_str(), 1);
    for (const auto& [name, value] : environment) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    const int standardError = ::open((workDir / kStandardErrorFile).c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (::chdir(workDir.c_str()) != 0 || standardError < 0 ||
        ::dup2(standardError, STDERR_FILENO) < 0) {
      ::_exit(126);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
}

ServiceProcess::~ServiceProcess() {
  if (running()) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ServiceProcess::running() {
  if (pid_ <= 0) {
    return false;
  }
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    status_ = status;
    return false;
  }
  return true;
}

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds timeout) {
  eventually([&] { return !running(); }, timeout);
  return status_;
}

std::optional<int> ServiceProcess::stop(int signal, std::chrono::milliseconds timeout) {
  if (running()) {
    ::kill(pid_, signal);
  }
  return waitExit(timeout);
}

void ServiceTest::SetUp() {
  TESTSUPPORT_REQUIRE_MOSQUITTO();
  if (!testsupport::inPrivateMountNamespace()) {
    if (testsupport::runningInCi()) {
      GTEST_FAIL() << "end-to-end tests must run in a private mount namespace "
                      "(through run-in-private-mounts.sh, as root or in a user namespace)";
    }
    GTEST_SKIP() << "not in a private mount namespace";
  }
  rulesDir_ = scratch_.path() / "wb-rules";
  logsDir_ = scratch_.path() / "p7";
  workDir_ = scratch_.path() / "work";
  for (const auto& dir : {rulesDir_, logsDir_, workDir_}) {
    fs::create_directory(dir);
  }
  broker_ = std::make_unique<testsupport::MosquittoBroker>();
  client_.connect(broker_->url(), "e2e-tester");
  client_.subscribe(std::string(kStatusPrefix) + "#", 1);
}

void ServiceTest::TearDown() {
  if (service_) {
    EXPECT_TRUE(service_->running()) << "the service ended during the test";
  }
  service_.reset();
}

void ServiceTest::startService() {
  service_ = std::make_unique<ServiceProcess>(broker_->url(), rulesDir_, logsDir_, workDir_,
                                              RULES_PREPROCESSOR_BINARY, serviceEnvironment_);
  if (broker_->running()) {
    waitForConfigurationSubscription(1);
  }
}

void ServiceTest::startConfigured(const std::string& document) {
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  startService();
  configure(document);
}

void ServiceTest::waitForConfigurationSubscription(std::size_t count) {
  // Configurations published before the service subscribed would be lost.
  // At any QoS: 1 with a persistent session.
  ASSERT_TRUE(eventually([&] {
    return countInBrokerLog("/tl/bridge/configuration (QoS ") >= count;
  })) << "the service did not subscribe to the configuration\n" << broker_->log();
}

void ServiceTest::configure(const std::string& document) {
  client_.publish(kConfigurationTopic, document, 1);
  if (configured_) {
    return;
  }
  const std::string subscribed = "/tl/bridge/rules/add/+ (QoS ";
  ASSERT_TRUE(eventually([&] { return broker_->log().find(subscribed) != std::string::npos; }))
      << "the service did not open the rules topic\n" << broker_->log();
  configured_ = true;
}

void ServiceTest::publishRule(const std::string& name, const std::string& text) {
  client_.publish(kRulesPrefix + name, text, 1);
}

void ServiceTest::sync() {
  const std::string name = "sync-" + std::to_string(++syncCount_);
  const std::string text = signRule_ ? signRule_(name, "// 1765090800\n// sync " + name)
                                     : "// sync " + name;
  publishRule(name, text);
  const auto deadline = std::chrono::steady_clock::now() + patience(10s);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto message = client_.waitMessage(100ms);
    if (!message) {
      continue;
    }
    const std::string rule = message->topic.substr(std::string(kStatusPrefix).size());
    if (rule == name) {
      fs::remove(rulesDir_ / installedName(name, text));
      return;
    }
    statuses_[rule] = message->payload;
  }
  FAIL() << "no status for " << name;
}

std::map<std::string, std::string> ServiceTest::takeStatuses() {
  return std::exchange(statuses_, {});
}

std::string ServiceTest::traceLog() const { return traceLogIn(logsDir_); }

bool ServiceTest::waitForTrace(const std::string& text,
                               std::chrono::milliseconds timeout) const {
  return eventually([&] { return traceLog().find(text) != std::string::npos; }, timeout);
}

std::vector<std::string> ServiceTest::ruleFiles() const { return ruleFilesIn(rulesDir_); }

std::string ServiceTest::readRuleFile(const std::string& fileName) const {
  return readAll(rulesDir_ / fileName);
}

void ServiceTest::writeRuleFile(const std::string& fileName, const std::string& text) const {
  std::ofstream(rulesDir_ / fileName, std::ios::binary) << text;
}

std::size_t ServiceTest::countInBrokerLog(const std::string& text) const {
  return testsupport::countOccurrences(broker_->log(), text);
}

std::string ServiceTest::installedName(const std::string& rule, const std::string& text) {
  return rule + "-__" + std::to_string(std::hash<std::string>{}(text)) + "__.js";
}

}  // namespace e2e
