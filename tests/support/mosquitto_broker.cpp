#include "testsupport/mosquitto_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {
namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 10000;
constexpr int kPollMs = 10;
// A port found free may be taken by someone else before mosquitto binds it.
constexpr int kPortAttempts = 3;

class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) {
      throw std::runtime_error(
          fmt::format("MosquittoBroker: socket: {}", std::strerror(errno)));
    }
  }
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool acceptsConnections(int port) {
  Socket sock;
  sockaddr_in addr = loopback(port);
  return ::connect(sock.fd(), reinterpret_cast<sockaddr*>(&addr),
                   sizeof addr) == 0;
}

std::string findBinary() {
  std::string dirs = "/usr/sbin:/usr/local/sbin";
  if (const char* path = std::getenv("PATH")) {
    dirs = std::string(path) + ":" + dirs;
  }
  std::istringstream in(dirs);
  for (std::string dir; std::getline(in, dir, ':');) {
    std::string candidate = dir + "/mosquitto";
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Mosquitto's plugin that can refuse subscriptions; its directory depends on
// the architecture.
std::string dynamicSecurityPlugin() {
  glob_t found{};
  std::string path;
  if (::glob("/usr/lib/*/mosquitto_dynamic_security.so", 0, nullptr, &found) == 0 &&
      found.gl_pathc > 0) {
    path = found.gl_pathv[0];
  }
  ::globfree(&found);
  if (path.empty()) {
    throw std::runtime_error("MosquittoBroker: mosquitto_dynamic_security.so not found");
  }
  return path;
}

std::string jsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  return quoted + "\"";
}

// Anonymous clients may do anything except subscribe to `refused`.
std::string dynamicSecurityConfig(const std::vector<std::string>& refused) {
  std::string acls;
  for (const std::string& pattern : refused) {
    acls += fmt::format(
        "{}{{\"acltype\": \"subscribePattern\", \"topic\": {}, \"priority\": 0, "
        "\"allow\": false}}",
        acls.empty() ? "" : ", ", jsonString(pattern));
  }
  return fmt::format(
      "{{\"defaultACLAccess\": {{\"publishClientSend\": true, \"publishClientReceive\": true, "
      "\"subscribe\": true, \"unsubscribe\": true}},\n"
      "\"clients\": [],\n"
      "\"groups\": [{{\"groupname\": \"anonymous\", \"roles\": [{{\"rolename\": \"refusing\"}}]}}],\n"
      "\"roles\": [{{\"rolename\": \"refusing\", \"acls\": [{}]}}],\n"
      "\"anonymousGroup\": \"anonymous\"}}\n",
      acls);
}

// The bridge's connection section. It comes last: the bridge options after
// `connection` belong to that connection.
void writeBridge(std::ostream& conf, const BrokerBridge& bridge) {
  const std::string name = bridge.name();
  conf << "connection " << name << "\n"
       << "address " << bridge.address << "\n"
       << "remote_clientid " << name << "\n"
       << "local_clientid bridge-" << name << "\n"
       << "cleansession true\n"
       << "notification_topic " << bridge.notificationTopic() << "\n"
       // A test restarts brokers; the default waits 5 s and more to reconnect.
       << "restart_timeout 1\n";
  if (!bridge.username.empty()) {
    conf << "remote_username " << bridge.username << "\n"
         << "remote_password " << bridge.password << "\n";
  }
  const std::vector<std::string> topics =
      bridge.topics.empty() ? serviceBridgeTopics() : bridge.topics;
  for (const std::string& topic : topics) {
    conf << "topic " << topic << " /tl/bridge/ " << bridge.remotePrefix << "/tl/bridge/\n";
  }
}

}  // namespace

std::string BrokerBridge::name() const {
  std::string name = remotePrefix;
  std::replace(name.begin(), name.end(), '/', '-');
  return name;
}

std::vector<std::string> serviceBridgeTopics() {
  return {"configuration in 1",       "rules/add/# in 1",           "rules/inventory/get in 1",
          "configuration/result out 1", "rules/status/# out 1",     "rules/result/# out 1",
          "rules/state out 1",          "rules/inventory out 1"};
}

void runCommand(const std::vector<std::string>& argv) {
  std::string command;
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    command += (command.empty() ? "" : " ") + arg;
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error(fmt::format("runCommand: fork: {}", std::strerror(errno)));
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(fmt::format("runCommand: {} failed (status {})", command, status));
  }
}

bool runningInCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

int freeLoopbackPort() {
  Socket sock;
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(sock.fd(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(sock.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error(fmt::format(
        "freeLoopbackPort: {}", std::strerror(errno)));
  }
  return ntohs(addr.sin_port);
}

bool MosquittoBroker::available() { return !findBinary().empty(); }

MosquittoBroker::MosquittoBroker(Start when, BrokerOptions options)
    : options_(std::move(options)), binary_(findBinary()) {
  if (binary_.empty()) {
    throw std::runtime_error("MosquittoBroker: mosquitto is not installed");
  }
  writeAccessFiles();
  port_ = freeLoopbackPort();
  if (when == Start::Later) {
    return;
  }
  spawn();
  if (when == Start::Now) {
    waitUntilStarted();
  }
}

void MosquittoBroker::waitUntilStarted() {
  for (int attempt = 1; !waitUntilListening(); ++attempt) {
    if (attempt == kPortAttempts) {
      throw std::runtime_error(fmt::format(
          "MosquittoBroker: broker did not start on port {}; log:\n{}", port_,
          log()));
    }
    port_ = freeLoopbackPort();
    spawn();
  }
}

MosquittoBroker::~MosquittoBroker() { stop(); }

std::string MosquittoBroker::url() const {
  return fmt::format("{}://127.0.0.1:{}", options_.certFile.empty() ? "tcp" : "ssl", port_);
}

void MosquittoBroker::start() {
  if (running()) {
    return;
  }
  if (!spawnAndWait()) {
    throw std::runtime_error(fmt::format(
        "MosquittoBroker: broker did not start on port {}; log:\n{}", port_,
        log()));
  }
}

void MosquittoBroker::stop() noexcept {
  if (!running()) {
    return;
  }
  ::kill(pid_, SIGTERM);
  ::kill(pid_, SIGCONT);  // a frozen broker takes SIGTERM only once it runs
  reap(kStopTimeoutMs);
}

void MosquittoBroker::requestStop() noexcept {
  if (running()) {
    ::kill(pid_, SIGTERM);
  }
}

void MosquittoBroker::kill() noexcept {
  if (running()) {
    ::kill(pid_, SIGKILL);
    reap(kStopTimeoutMs);
  }
}

void MosquittoBroker::freeze() {
  if (!running() || ::kill(pid_, SIGSTOP) != 0) {
    throw std::runtime_error("MosquittoBroker: cannot freeze a broker that does not run");
  }
}

void MosquittoBroker::thaw() {
  if (running()) {
    ::kill(pid_, SIGCONT);
  }
}

std::string MosquittoBroker::log() const {
  std::ifstream in(dir_.path() / "mosquitto.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string MosquittoBroker::logFrom(std::size_t offset) const {
  std::ifstream in(dir_.path() / "mosquitto.log", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void MosquittoBroker::writeConfig() const {
  std::ofstream conf(dir_.path() / "mosquitto.conf", std::ios::trunc);
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous " << (options_.users.empty() ? "true" : "false") << "\n"
       << "set_tcp_nodelay true\n"
       << "persistence false\n"
       << "log_dest file " << (dir_.path() / "mosquitto.log").string() << "\n"
       << "log_type all\n"
       << "connection_messages true\n";
  if (options_.maxQueuedMessages > 0) {
    conf << "max_queued_messages " << options_.maxQueuedMessages << "\n";
  }
  if (options_.messageSizeLimit > 0) {
    conf << "message_size_limit " << options_.messageSizeLimit << "\n";
  }
  if (!options_.users.empty()) {
    conf << "password_file " << (dir_.path() / "passwords").string() << "\n";
  }
  if (!options_.refusedSubscriptions.empty()) {
    conf << "plugin " << dynamicSecurityPlugin() << "\n"
         << "plugin_opt_config_file " << (dir_.path() / "dynsec.json").string() << "\n";
  }
  if (!options_.certFile.empty()) {
    conf << "certfile " << options_.certFile << "\n"
         << "keyfile " << options_.keyFile << "\n";
    if (!options_.clientCaFile.empty()) {
      conf << "cafile " << options_.clientCaFile << "\n"
           << "require_certificate true\n";
    }
  }
  if (::geteuid() == 0) {
    // Otherwise mosquitto drops to user "mosquitto" and cannot write the log.
    conf << "user root\n";
  }
  if (options_.bridge) {
    writeBridge(conf, *options_.bridge);
  }
  if (!conf.flush()) {
    throw std::runtime_error(fmt::format(
        "MosquittoBroker: cannot write {}", (dir_.path() / "mosquitto.conf").string()));
  }
}

void MosquittoBroker::writeAccessFiles() const {
  const std::string passwords = (dir_.path() / "passwords").string();
  for (const auto& [user, password] : options_.users) {
    // -c creates the file for the first user.
    runCommand(user == options_.users.front().first
                   ? std::vector<std::string>{"mosquitto_passwd", "-b", "-c", passwords, user, password}
                   : std::vector<std::string>{"mosquitto_passwd", "-b", passwords, user, password});
  }
  if (!options_.refusedSubscriptions.empty()) {
    std::ofstream(dir_.path() / "dynsec.json") << dynamicSecurityConfig(options_.refusedSubscriptions);
  }
}

// Returns false when the broker exited or did not listen in time.
bool MosquittoBroker::spawnAndWait() {
  spawn();
  return waitUntilListening();
}

void MosquittoBroker::spawn() {
  writeConfig();
  // Everything the child needs is prepared before fork: between fork and
  // exec only async-signal-safe calls are allowed.
  const std::string conf = (dir_.path() / "mosquitto.conf").string();
  const std::string out = (dir_.path() / "mosquitto.out").string();
  std::vector<char*> argv = {const_cast<char*>(binary_.c_str()),
                             const_cast<char*>("-c"),
                             const_cast<char*>(conf.c_str()), nullptr};
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error(
        fmt::format("MosquittoBroker: fork: {}", std::strerror(errno)));
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
      ::_exit(127);
    }
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  pid_ = pid;
}

bool MosquittoBroker::waitUntilListening() {
  for (int waited = 0; waited < kStartTimeoutMs; waited += kPollMs) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (acceptsConnections(port_)) {
      return true;
    }
    sleepMs(kPollMs);
  }
  ::kill(pid_, SIGKILL);
  reap(kStopTimeoutMs);
  return false;
}

void MosquittoBroker::reap(int timeoutMs) noexcept {
  for (int waited = 0; waited < timeoutMs; waited += kPollMs) {
    int status = 0;
    const pid_t rc = ::waitpid(pid_, &status, WNOHANG);
    if (rc == pid_ || (rc < 0 && errno != EINTR)) {
      pid_ = -1;
      return;
    }
    sleepMs(kPollMs);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace testsupport
