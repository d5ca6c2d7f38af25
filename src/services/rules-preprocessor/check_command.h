#pragma once
// The operator's check command: a command line split into words once, at
// start, and run on each rule's written file before that file is installed.

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace talvoro {

// A command line that cannot be run; what() says what is wrong with it.
class CheckCommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the command said of one file.
struct CheckCommandVerdict {
  bool accepted = false;
  // Why not: "check command exited with status 1: <its first line>".
  std::string reason;
};

// Words are separated by blanks; '…' keeps its text as it is, "…" too but
// for \" and \\, and a backslash outside quotes keeps the character after
// it. Nothing else is special: no variables, patterns, pipes or
// redirections. In every word %s stands for the file and %% for a percent
// sign. The program is run directly (no shell), as the first word names it.
class CheckCommand {
 public:
  static constexpr std::chrono::milliseconds kTimeout{5000};
  // Kept of each of the command's outputs; the rest is read and dropped.
  static constexpr std::size_t kKeptOutputBytes = 4096;

  // Throws CheckCommandError when the line holds no words, a quote that is
  // not closed, a % other than %s and %%, no %s, or a program that is not the
  // absolute path of an executable file.
  explicit CheckCommand(std::string_view commandLine,
                        std::chrono::milliseconds timeout = kTimeout);

  // The command's words with %s and %% replaced.
  std::vector<std::string> argumentsFor(const std::string& path) const;

  // Runs the command on the file at `path`: accepted when it exits with
  // status 0 within the timeout; otherwise it is killed at the timeout, and
  // the reason carries the first line of its standard error (of its standard
  // output when it wrote no error).
  CheckCommandVerdict check(const std::string& path) const;

  const std::string& program() const { return words_.front(); }

 private:
  std::vector<std::string> words_;
  std::chrono::milliseconds timeout_;
};

// The environment the command gets, and nothing of the service's.
const std::vector<std::string>& checkCommandEnvironment();

}  // namespace talvoro
