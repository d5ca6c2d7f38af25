#pragma once
// Command line of rules-push, and the messages it is going to publish.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talvoro::push {

// A command line that cannot be followed; what() says why. Exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be read; what() names it and the system's reason.
// Exit status 2.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PushOptions {
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};
  static constexpr int kDefaultRetries = 3;

  bool help = false;
  std::optional<std::string> broker;
  std::chrono::milliseconds timeout = kDefaultTimeout;
  int retries = kDefaultRetries;
  std::optional<std::string> name;
  std::optional<std::string> configuration;  // file of the IO structure
  std::vector<std::string> files;            // rule files, "-" for standard input
};

// One rule as it goes out: its name (one topic level) and its text.
struct RuleFile {
  std::string name;
  std::string text;
};

// Parses argv[1..]. Throws UsageError.
PushOptions parseArguments(const std::vector<std::string>& args);

// The rule name of a file: its base name without the ".js" ending.
std::string ruleNameOf(const std::string& path);

// Throws UsageError when `name` cannot be one topic level that the service
// hears: empty, not UTF-8, too long for a topic, or holding '/', '+', '#' or
// a NUL byte.
void checkRuleName(const std::string& name);

// Reads every rule file (standard input for "-"). Throws InputError for a
// file that cannot be read and UsageError for a name that occurs twice.
std::vector<RuleFile> loadRules(const PushOptions& options);

// The whole content of `path` ("-": standard input). Throws InputError.
std::string readInput(const std::string& path);

// The text of --help.
const char* usageText();

}  // namespace talvoro::push
