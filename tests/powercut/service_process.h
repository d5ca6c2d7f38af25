#pragma once
// The service binary as the power-cut proof runs it: started, killed at a cut, and watched for
// having read what the broker sent it.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace powercut {

// The service, started with argv[0] "rules-preprocessor" (its trace log is then in
// /var/log/p7/rules-preprocessor) in `workDir`, where its output goes to service.out. It gets
// SIGKILL when the thread that started it ends. Killed and reaped on destruction.
class ServiceProcess {
 public:
  ServiceProcess(const std::string& brokerUrl, std::filesystem::path workDir);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Throws std::runtime_error when it cannot fork.
  void start();
  pid_t pid() const { return pid_; }
  // SIGKILL; wait() reaps it.
  void kill();
  void wait();
  // True once the process ended by itself (it is reaped then).
  bool exited();
  // Bytes that the kernel holds for the process's TCP sockets and it has not read yet.
  std::size_t unreadSocketBytes() const;

 private:
  std::string brokerVariable_;
  std::filesystem::path workDir_;
  pid_t pid_ = -1;
};

}  // namespace powercut
