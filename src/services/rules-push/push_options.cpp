#include "push_options.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string_view>

#include "controller.h"
#include "talvoro/files/file_descriptor.h"
#include "talvoro/files/file_read.h"
#include "talvoro/files/utf8_cut.h"
#include "talvoro/rule_name.h"
#include "talvoro/rules_protocol.h"

namespace talvoro::push {
namespace {

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

// Seconds above 0, fractions allowed, at most `most`.
std::chrono::milliseconds parseSeconds(const std::string& option, const std::string& text,
                                       double most) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
      seconds <= 0 || seconds > most) {
    throw UsageError(fmt::format("{}: \"{}\" is not a number of seconds above 0 (at most {:g})",
                                 option, text, most));
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

void checkListCombination(const PushOptions& options) {
  if (!options.files.empty() || options.configuration || options.check || options.prune ||
      options.retranslate || options.clear || options.signKey) {
    throw UsageError("--list prints what is installed: it takes no rule, configuration, "
                     "--check, --prune, --clear, --retranslate or --sign-key");
  }
}

void checkControllerCombination(const PushOptions& options) {
  if (options.fleetFile && options.prefix) {
    throw UsageError("--fleet and --prefix cannot go together: the fleet file gives each "
                     "controller's prefix");
  }
  if (options.fleetFile && options.brokers.size() > 1) {
    throw UsageError("--fleet takes at most one --broker, the broker of the lines that name none");
  }
  if (options.prefix) {
    checkTopicPrefix(*options.prefix, "--prefix");
  }
}

// Checks what the options mean together.
void checkCombination(const PushOptions& options) {
  checkControllerCombination(options);
  if (options.list) {
    checkListCombination(options);
    return;
  }
  if (options.pruneUnknown && !options.prune) {
    throw UsageError("--prune-unknown widens --prune, which is not given");
  }
  if (options.prune && options.files.empty()) {
    throw UsageError("--prune removes every installed rule that is not given: it needs the "
                     "rules to keep");
  }
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
  if (options.check && options.configuration) {
    throw UsageError("--check reads the statuses of rules; a configuration leaves none to check");
  }
  if (options.certFile.has_value() != options.keyFile.has_value()) {
    throw UsageError("--cert and --key go together: a client certificate needs its key");
  }
  if (options.check && options.retranslate) {
    throw UsageError("--check and --retranslate cannot go together: a re-stamped text is "
                     "never in place");
  }
}

constexpr const char* kDefaultBroker = "tcp://127.0.0.1:1883";

bool isHostNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

bool isIpv6Character(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

bool isPort(std::string_view text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  const long port = std::strtol(std::string(text).c_str(), nullptr, 10);
  return port >= 1 && port <= 65535;
}

// Why `uri` is no broker address, or nothing when it is one.
std::optional<std::string> brokerAddressFault(const std::string& uri) {
  const std::size_t schemeEnd = uri.find("://");
  if (schemeEnd == std::string::npos) {
    return "expected scheme://host[:port]";
  }
  static const std::set<std::string> kSchemes = {"tcp", "mqtt", "ssl", "mqtts"};
  if (kSchemes.count(uri.substr(0, schemeEnd)) == 0) {
    return "the scheme is not tcp, mqtt, ssl or mqtts";
  }
  const std::string_view rest = std::string_view(uri).substr(schemeEnd + 3);
  std::string_view host = rest;
  std::optional<std::string_view> port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      return "the IPv6 address lacks its closing ']'";
    }
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (host.empty() || host.find(':') == std::string_view::npos ||
        !std::all_of(host.begin(), host.end(), isIpv6Character)) {
      return "the brackets hold no IPv6 address";
    }
    if (!after.empty()) {
      if (after.front() != ':') {
        return "only a port may follow the IPv6 address";
      }
      port = after.substr(1);
    }
  } else {
    const std::size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = rest.substr(colon + 1);
    }
    if (host.empty()) {
      return "the host is missing";
    }
    if (!std::all_of(host.begin(), host.end(), isHostNameCharacter)) {
      return "the host holds characters other than letters, digits, '.', '-' and '_'";
    }
  }
  if (port && !isPort(*port)) {
    return "the port is not a number from 1 to 65535";
  }
  return std::nullopt;
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
    } else if (arg == "--version") {
      options.version = true;
      return options;
    } else if (isOption(arg, "--broker")) {
      options.brokers.push_back(optionValue(args, i, "--broker"));
    } else if (isOption(arg, "--timeout")) {
      options.timeout = parseSeconds("--timeout", optionValue(args, i, "--timeout"), 86400);
    } else if (isOption(arg, "--deadline")) {
      options.deadline = parseSeconds("--deadline", optionValue(args, i, "--deadline"), 604800);
    } else if (isOption(arg, "--retries")) {
      options.retries = parseRetries(optionValue(args, i, "--retries"));
    } else if (isOption(arg, "--name")) {
      options.name = optionValue(args, i, "--name");
      checkRuleName(*options.name);
    } else if (isOption(arg, "--configuration")) {
      options.configuration = optionValue(args, i, "--configuration");
    } else if (arg == "--clear") {
      options.clear = true;
    } else if (arg == "--retranslate") {
      options.retranslate = true;
    } else if (arg == "--check") {
      options.check = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--prune") {
      options.prune = true;
    } else if (arg == "--prune-unknown") {
      options.pruneUnknown = true;
    } else if (isOption(arg, "--prefix")) {
      options.prefix = optionValue(args, i, "--prefix");
    } else if (isOption(arg, "--fleet")) {
      options.fleetFile = optionValue(args, i, "--fleet");
    } else if (arg == "--json") {
      options.json = true;
    } else if (isOption(arg, "--sign-key")) {
      options.signKey = optionValue(args, i, "--sign-key");
    } else if (isOption(arg, "--cert")) {
      options.certFile = optionValue(args, i, "--cert");
    } else if (isOption(arg, "--key")) {
      options.keyFile = optionValue(args, i, "--key");
    } else if (isOption(arg, "--ca")) {
      options.caFile = optionValue(args, i, "--ca");
    } else {
      throw UsageError(fmt::format("unknown option \"{}\"", arg));
    }
  }
  checkCombination(options);
  return options;
}

std::chrono::milliseconds defaultDeadline(const PushOptions& options, std::size_t rules,
                                          std::size_t inFlight) {
  const std::size_t rounds = std::max<std::size_t>((rules + inFlight - 1) / inFlight, 1) +
                             (options.configuration ? 1 : 0) + (options.prune ? 2 : 0);
  const long long perRound = 2LL * (options.retries + 1) + 1;
  return options.timeout * perRound * static_cast<long long>(rounds);
}

void checkBrokerAddress(const std::string& uri, const std::string& source) {
  if (const auto fault = brokerAddressFault(uri)) {
    throw UsageError(
        fmt::format("{}: \"{}\" is not a broker address: {}", source, uri, *fault));
  }
}

std::vector<std::string> brokerAddresses(const PushOptions& options,
                                         const char* environmentBroker) {
  if (options.brokers.empty()) {
    const bool fromEnvironment = environmentBroker != nullptr && *environmentBroker != '\0';
    const std::string broker = fromEnvironment ? environmentBroker : kDefaultBroker;
    checkBrokerAddress(broker, fromEnvironment ? "MQTT_BROKER_URL" : "the default broker");
    return {broker};
  }
  std::set<std::string> seen;
  for (const std::string& broker : options.brokers) {
    checkBrokerAddress(broker, "--broker");
    if (!seen.insert(broker).second) {
      throw UsageError(fmt::format("--broker: \"{}\" is given twice", broker));
    }
  }
  return options.brokers;
}

std::string ruleNameOfFile(const std::string& path) {
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
  try {
    protocol::checkRuleName(name);
  } catch (const protocol::BadRuleName& error) {
    // A name as long as a topic allows is no help on a terminal.
    constexpr std::size_t kShown = 80;
    const std::size_t shown = files::utf8CutLength(name, kShown);
    throw UsageError(fmt::format("{}: \"{}{}\"", error.what(), name.substr(0, shown),
                                 shown < name.size() ? "..." : ""));
  }
}

std::string readInput(const std::string& path) {
  const bool standardInput = path == "-";
  const std::string shown = standardInput ? "standard input" : path;
  const auto tooLarge = [&] {
    return InputError(fmt::format("cannot read {}: it holds more than {} bytes, the most one MQTT "
                                  "message can carry",
                                  shown, kMaxTextBytes));
  };
  try {
    files::FileDescriptor opened;
    if (!standardInput) {
      // A FIFO (a shell's process substitution) is read as standard input is.
      opened = files::FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!opened.valid()) {
        throw files::FileError::fromErrno(path, errno);
      }
    }
    const int fd = standardInput ? STDIN_FILENO : opened.get();
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
      // Read as empty, a directory would clear the rule.
      throw files::FileError::fromErrno(shown, EISDIR);
    }
    if (info.st_size > 0 && static_cast<std::uintmax_t>(info.st_size) > kMaxTextBytes) {
      throw tooLarge();
    }
    return files::readToEnd(fd, kMaxTextBytes, shown);
  } catch (const files::FileError& error) {
    if (error.code() == EFBIG) {
      throw tooLarge();
    }
    throw InputError(fmt::format("cannot read {}", error.what()));
  } catch (const std::bad_alloc&) {
    throw InputError(fmt::format("cannot read {}: not enough memory", shown));
  }
}

std::vector<RuleFile> loadRules(const PushOptions& options) {
  std::vector<RuleFile> rules;
  std::set<std::string> names;
  for (const std::string& file : options.files) {
    std::string name = options.name ? *options.name : ruleNameOfFile(file);
    checkRuleName(name);
    if (!names.insert(name).second) {
      throw UsageError(fmt::format("the rule name \"{}\" is given twice (file {})", name, file));
    }
    std::string text = readInput(file);
    if (text.empty() && !options.clear) {
      throw InputError(fmt::format(
          "the rule \"{}\" ({}) is empty, which would remove the installed rule; give --clear "
          "if that is meant",
          name, file == "-" ? "standard input" : file));
    }
    rules.push_back({std::move(name), std::move(text)});
  }
  return rules;
}

}  // namespace talvoro::push
