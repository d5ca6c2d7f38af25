#pragma once
// Runs a program to its end, within a time limit, without a shell: a clean
// environment, nothing to read, a bounded share of its output kept.

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace talvoro {

// The program could not be started; what() names it and the system's reason.
class ChildProcessError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ChildProcessRun {
  std::vector<std::string> arguments;   // the first is the program's absolute path
  std::vector<std::string> environment;  // "NAME=value", and nothing else
  std::chrono::milliseconds timeout;
  std::size_t keptOutputBytes;  // of each of standard output and error
};

struct ChildProcessEnd {
  enum class Kind { Exited, Signalled, TimedOut };
  Kind kind;
  int code = 0;  // the exit status, or the signal
  // The first keptOutputBytes of each; the rest was read and dropped.
  std::string output;
  std::string errors;
};

// Starts the program in a process group of its own, in "/", with standard
// input from /dev/null, none of this process's other descriptors, signals
// at their defaults, and reads its output until it ends. After the timeout
// the whole group is killed (SIGKILL); when the program ends in time, what
// it left running in its group is killed as well. Throws ChildProcessError
// when the program cannot be started.
ChildProcessEnd runChildProcess(const ChildProcessRun& run);

}  // namespace talvoro
