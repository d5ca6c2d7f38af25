#pragma once
// rules-push as a child process, and the fixture of the tests that run it
// against the built service.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service_fixture.h"

namespace e2e {

struct PushRun {
  std::optional<int> exitCode;  // none: still running at the time limit
  std::string output;
  std::string errors;  // standard error
};

// rules-push as a child process whose standard output and error go to files.
// Killed on destruction when it still runs.
class PushProcess {
 public:
  // Standard input is `input`, or empty.
  PushProcess(const std::vector<std::string>& args, const fs::path& output,
              const std::optional<std::string>& brokerFromEnvironment,
              const std::string& input = "/dev/null")
      : output_(output), input_(input) {
    // Binaries built for another architecture run in the emulator that runs
    // this test.
    std::vector<std::string> argv = {RULES_PUSH_BINARY};
    if (const char* emulator = std::getenv("RUN_IN_PRIVATE_MOUNTS_EMULATOR");
        emulator != nullptr && *emulator != '\0') {
      argv.insert(argv.begin(), emulator);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ < 0) {
      throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
      execChild(argv, brokerFromEnvironment);
    }
  }

  ~PushProcess() {
    if (running()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  PushProcess(const PushProcess&) = delete;
  PushProcess& operator=(const PushProcess&) = delete;

  PushRun wait(std::chrono::milliseconds timeout) {
    eventually([&] { return !running(); }, timeout);
    std::optional<int> code;
    if (status_ && WIFEXITED(*status_)) {
      code = WEXITSTATUS(*status_);
    }
    return {code, readAll(output_), readAll(errorsFile())};
  }

 private:
  [[noreturn]] void execChild(const std::vector<std::string>& args,
                              const std::optional<std::string>& broker) {
    if (broker) {
      ::setenv("MQTT_BROKER_URL", broker->c_str(), 1);
    } else {
      ::unsetenv("MQTT_BROKER_URL");
    }
    const int fd = ::open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errors = ::open(errorsFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open(input_.c_str(), O_RDONLY);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || errors < 0 ||
        ::dup2(errors, STDERR_FILENO) < 0 || in < 0 || ::dup2(in, STDIN_FILENO) < 0) {
      ::_exit(126);
    }
    std::vector<char*> argv;
    for (const auto& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }

  fs::path errorsFile() const { return output_.string() + ".err"; }

  bool running() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = status;
    }
    return pid_ > 0;
  }

  fs::path output_;
  std::string input_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

class PushTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    inputDir_ = scratch_.path() / "input";
    fs::create_directory(inputDir_);
  }

  // Runs rules-push with --broker (or the broker in MQTT_BROKER_URL) and
  // waits for its end.
  PushRun push(std::vector<std::string> args, bool brokerOption = true) {
    return start(std::move(args), brokerOption)->wait(120s);
  }

  std::unique_ptr<PushProcess> start(std::vector<std::string> args, bool brokerOption = true) {
    if (brokerOption) {
      args.insert(args.begin(), {"--broker", broker_->url()});
    }
    const fs::path output = scratch_.path() / ("push-" + std::to_string(++runs_) + ".out");
    return std::make_unique<PushProcess>(
        args, output, brokerOption ? std::nullopt : std::optional(broker_->url()));
  }

  std::string writeInput(const std::string& fileName, const std::string& text) const {
    const fs::path path = inputDir_ / fileName;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  fs::path inputDir_;

 private:
  int runs_ = 0;
};

}  // namespace e2e
