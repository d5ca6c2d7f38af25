#include "push_options.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>

namespace talvoro::push {
namespace {

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

// The value of an option given as "--opt value" or "--opt=value"; advances
// `i` past a separate value.
std::string optionValue(const std::vector<std::string>& args, std::size_t& i,
                        const std::string& option) {
  const std::string& arg = args[i];
  if (arg.size() > option.size() && arg[option.size()] == '=') {
    return arg.substr(option.size() + 1);
  }
  if (i + 1 >= args.size()) {
    throw UsageError(fmt::format("{} needs a value", option));
  }
  return args[++i];
}

// True when `arg` is `option`, alone or with "=value".
bool isOption(const std::string& arg, const std::string& option) {
  return arg.compare(0, option.size(), option) == 0 &&
         (arg.size() == option.size() || arg[option.size()] == '=');
}

std::chrono::milliseconds parseTimeout(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
      seconds <= 0 || seconds > 86400) {
    throw UsageError(fmt::format(
        "--timeout: \"{}\" is not a number of seconds above 0 (at most 86400)", text));
  }
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
}

int parseRetries(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long retries = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || retries < 0 || retries > 1000) {
    throw UsageError(fmt::format("--retries: \"{}\" is not a whole number from 0 to 1000", text));
  }
  return static_cast<int>(retries);
}

// Checks what the options mean together.
void checkCombination(const PushOptions& options) {
  if (options.files.empty() && !options.configuration) {
    throw UsageError("no rule file and no --configuration given");
  }
  if (options.name && options.files.size() != 1) {
    throw UsageError("--name names exactly one FILE (or - for standard input)");
  }
  for (const std::string& file : options.files) {
    if (file == "-" && !options.name) {
      throw UsageError("a rule from standard input (-) needs --name");
    }
  }
  if (options.configuration && *options.configuration == "-" && !options.files.empty() &&
      options.files.front() == "-") {
    throw UsageError("standard input cannot be both the configuration and a rule");
  }
}

// An MQTT topic is UTF-8 of at most 65535 bytes, the rules topic prefix
// included.
constexpr std::size_t kMaxNameBytes = 65000;

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool isUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 1;
    std::uint32_t code = lead;
    if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else if (lead >= 0xE0) {
      length = lead <= 0xEF ? 3 : 0;
      code = lead & 0x0Fu;
    } else if (lead >= 0xC2) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0x80) {
      length = 0;
    }
    if (length == 0 || i + length > text.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0u) != 0x80u) {
        return false;
      }
      code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

PushOptions parseArguments(const std::vector<std::string>& args) {
  PushOptions options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg == "-" || arg.compare(0, 1, "-") != 0) {
      options.files.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    } else if (isOption(arg, "--broker")) {
      options.broker = optionValue(args, i, "--broker");
    } else if (isOption(arg, "--timeout")) {
      options.timeout = parseTimeout(optionValue(args, i, "--timeout"));
    } else if (isOption(arg, "--retries")) {
      options.retries = parseRetries(optionValue(args, i, "--retries"));
    } else if (isOption(arg, "--name")) {
      options.name = optionValue(args, i, "--name");
      checkRuleName(*options.name);
    } else if (isOption(arg, "--configuration")) {
      options.configuration = optionValue(args, i, "--configuration");
    } else {
      throw UsageError(fmt::format("unknown option \"{}\"", arg));
    }
  }
  checkCombination(options);
  return options;
}

std::string ruleNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string ending = ".js";
  if (name.size() > ending.size() &&
      name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
    name.resize(name.size() - ending.size());
  }
  return name;
}

void checkRuleName(const std::string& name) {
  if (name.empty()) {
    throw UsageError("a rule name cannot be empty");
  }
  if (name.size() > kMaxNameBytes || !isUtf8(name)) {
    // The broker would drop the connection over such a topic.
    throw UsageError(fmt::format("the rule name \"{}\" is not UTF-8 of at most {} bytes",
                                 name, kMaxNameBytes));
  }
  if (name.find_first_of(std::string("/+#\0", 4)) != std::string::npos) {
    throw UsageError(fmt::format(
        "the rule name \"{}\" holds '/', '+', '#' or a NUL byte, which cannot stand in "
        "one topic level",
        name));
  }
}

std::string readInput(const std::string& path) {
  const bool standardInput = path == "-";
  const std::string shown = standardInput ? "standard input" : path;
  const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw InputError(fmt::format("cannot read {}: {}", shown, std::strerror(errno)));
  }
  const FileCloser closer{standardInput ? -1 : fd};
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    // Read as empty, a directory would clear the rule.
    throw InputError(fmt::format("cannot read {}: {}", shown, std::strerror(EISDIR)));
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) {
      return text;
    }
    if (got < 0 && errno != EINTR) {
      throw InputError(fmt::format("cannot read {}: {}", shown, std::strerror(errno)));
    }
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }
}

std::vector<RuleFile> loadRules(const PushOptions& options) {
  std::vector<RuleFile> rules;
  std::set<std::string> names;
  for (const std::string& file : options.files) {
    std::string name = options.name ? *options.name : ruleNameOf(file);
    checkRuleName(name);
    if (!names.insert(name).second) {
      throw UsageError(fmt::format("the rule name \"{}\" is given twice (file {})", name, file));
    }
    rules.push_back({std::move(name), readInput(file)});
  }
  return rules;
}

const char* usageText() {
  return R"(Usage:
  rules-push [--broker URI] [--timeout SECONDS] [--retries N] FILE...
  rules-push [...] --name NAME FILE|-
  rules-push [...] --configuration FILE [FILE...]

Deploys automation rules to rules-preprocessor over MQTT and waits until the
service has handled each of them.

Each FILE is one rule; its name is the file's base name without ".js"
(kitchen-light.js is the rule "kitchen-light"). --name NAME sets the name of a
single FILE, or of the rule read from standard input (-). A name that occurs
twice, or that holds '/', '+' or '#', is refused.
--configuration FILE hands the service an IO structure first; rules given as
well go out only after it was accepted or found unchanged.

The tool waits until the service says it is "ready" (for a configuration
alone, "waiting" will do), publishes the rules, up to 100 at a time, and waits
for each rule's result. A rule without a result within the timeout is sent
again, up to N more times: an identical rule ends "unchanged" (or "outdated",
which counts as unchanged when the service's status shows that this very text
is installed). When the service goes offline meanwhile, the tool waits for it
to be ready again (up to the timeout) and sends again what was unanswered.

Output: one line per rule, "<name>: <outcome>" and ": <reason>" where the
service gives one ("<name>: no result" when none came), then a summary line.

Options:
  --broker URI         the MQTT broker; default: $MQTT_BROKER_URL, else
                       tcp://127.0.0.1:1883 (ssl:// or mqtts:// for TLS)
  --timeout SECONDS    how long to wait for the service to be ready and for
                       each result (default 10; fractions allowed)
  --retries N          how often a rule without a result is sent again
                       (default 3)
  --name NAME          the rule name of the single FILE or of standard input
  --configuration FILE publish FILE (JSON) as the IO structure first
  --help               this text

Environment: MQTT_BROKER_URL (see --broker); MQTT_USERNAME and
MQTT_PASSWORD_FILE (a file holding the password) to log in; MQTT_CA_FILE, the
CA certificate that a TLS broker's certificate must be signed by.

Exit status:
  0  every rule ended installed, cleared or unchanged (a configuration:
     accepted or unchanged)
  1  a rule ended outdated, rejected or failed (a configuration: rejected)
  2  bad usage (a malformed broker address included), or a file that cannot
     be read (the password and CA files included); nothing was published
  3  the service did not answer: not ready in time, or results missing after
     the retries
)";
}

}  // namespace talvoro::push
