#include "service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace powercut {
namespace fs = std::filesystem;

ServiceProcess::ServiceProcess(const std::string& brokerUrl, fs::path workDir)
    : brokerVariable_("MQTT_BROKER_URL=" + brokerUrl), workDir_(std::move(workDir)) {}

ServiceProcess::~ServiceProcess() {
  kill();
  wait();
}

void ServiceProcess::start() {
  // Prepared before fork: the child may only make async-signal-safe calls.
  std::vector<char*> env{const_cast<char*>(brokerVariable_.c_str())};
  for (char** variable = environ; *variable != nullptr; ++variable) {
    env.push_back(*variable);
  }
  env.push_back(nullptr);
  char* argv[] = {const_cast<char*>("rules-preprocessor"), nullptr};
  const std::string output = (workDir_ / "service.out").string();
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    throw std::runtime_error(fmt::format("fork: {}", std::strerror(errno)));
  }
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (::getppid() != parent || out < 0 || ::chdir(workDir_.c_str()) != 0) {
      ::_exit(126);
    }
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execve(RULES_PREPROCESSOR_BINARY, argv, env.data());
    ::_exit(127);
  }
}

void ServiceProcess::kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
  }
}

void ServiceProcess::wait() {
  if (pid_ > 0) {
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

bool ServiceProcess::exited() {
  if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) != pid_) {
    return false;
  }
  pid_ = -1;
  return true;
}

std::size_t ServiceProcess::unreadSocketBytes() const {
  std::vector<std::string> inodes;
  std::error_code error;
  for (const auto& fd : fs::directory_iterator(fmt::format("/proc/{}/fd", pid_), error)) {
    const std::string target = fs::read_symlink(fd.path(), error).string();
    if (!error && target.compare(0, 8, "socket:[") == 0) {
      inodes.push_back(target.substr(8, target.size() - 9));
    }
  }
  std::size_t unread = 0;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      // sl local remote state tx_queue:rx_queue tr:when retransmits uid timeout inode
      std::istringstream fields(line);
      std::string field[10];
      for (std::string& f : field) {
        fields >> f;
      }
      if (std::find(inodes.begin(), inodes.end(), field[9]) != inodes.end()) {
        unread += std::stoul(field[4].substr(field[4].find(':') + 1), nullptr, 16);
      }
    }
  }
  return unread;
}

}  // namespace powercut
