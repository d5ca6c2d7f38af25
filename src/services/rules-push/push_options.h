#pragma once
// Command line of rules-push, the brokers it names, and the messages it is
// going to publish; everything is checked before anything is published.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "talvoro/rules_protocol.h"

namespace talvoro::push {

// A command line that cannot be followed; what() says why. Exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be read, or a rule text that must not go out; what()
// names it and the reason. Exit status 2.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PushOptions {
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};
  static constexpr int kDefaultRetries = 3;

  bool help = false;
  bool version = false;
  std::vector<std::string> brokers;  // --broker, in the order given
  std::chrono::milliseconds timeout = kDefaultTimeout;
  int retries = kDefaultRetries;
  // --deadline: the most a run may take; none: defaultDeadline().
  std::optional<std::chrono::milliseconds> deadline;
  std::optional<std::string> name;
  std::optional<std::string> configuration;  // file of the IO structure
  std::vector<std::string> files;            // rule files, "-" for standard input
  bool clear = false;        // an empty rule text is meant: it removes the rule
  bool retranslate = false;  // the current time into each timestamp line
  bool check = false;        // dry run: read the inventory (or statuses), publish nothing
  bool list = false;         // print each controller's inventory
  bool prune = false;        // clear installed rules that are not in the set
  bool pruneUnknown = false;  // and files the service did not install
  std::optional<std::string> prefix;     // --prefix: the topics' prefix on the broker
  std::optional<std::string> fleetFile;  // --fleet: the controllers
  bool json = false;         // JSON lines instead of text
  std::optional<std::string> signKey;  // --sign-key: the private key to sign with
  // --cert, --key, --ca: TLS files, in place of MQTT_CERT_FILE, MQTT_KEY_FILE
  // and MQTT_CA_FILE.
  std::optional<std::string> certFile;
  std::optional<std::string> keyFile;
  std::optional<std::string> caFile;
};

// One rule as it goes out: its name (one topic level) and its text.
struct RuleFile {
  std::string name;
  std::string text;
};

// Parses argv[1..]. Throws UsageError.
PushOptions parseArguments(const std::vector<std::string>& args);

// The deadline of a run without --deadline: for the configuration (if any)
// and for each `inFlight` rules, the wait for the service plus every
// attempt's wait for the broker's acknowledgement and for the result, that
// is (2 * (retries + 1) + 1) timeouts each.
std::chrono::milliseconds defaultDeadline(const PushOptions& options, std::size_t rules,
                                          std::size_t inFlight);

// The brokers to deploy to: the --broker options, else `environmentBroker`
// (MQTT_BROKER_URL) when set and not empty, else tcp://127.0.0.1:1883.
// Throws UsageError for a malformed address or one given twice.
std::vector<std::string> brokerAddresses(const PushOptions& options,
                                         const char* environmentBroker);

// Throws UsageError naming `source` (where the address came from) unless
// `uri` is scheme://host[:port] with the scheme tcp, mqtt, ssl or mqtts, a
// host name, an IPv4 address or a bracketed IPv6 address, and a port from 1
// to 65535.
void checkBrokerAddress(const std::string& uri, const std::string& source);

// The rule name of a file: its base name without the ".js" ending.
std::string ruleNameOfFile(const std::string& path);

// Throws UsageError, naming `name`, when the service would refuse it as a
// rule name (protocol::checkRuleName).
void checkRuleName(const std::string& name);

// Reads every rule file (standard input for "-"). Throws InputError for a
// file that cannot be read, and for an empty text unless options.clear; and
// UsageError for a name that occurs twice.
std::vector<RuleFile> loadRules(const PushOptions& options);

// The most one MQTT message can carry besides its topic and packet
// identifier: a rule or configuration text larger than this cannot go out.
inline constexpr std::size_t kMaxTextBytes = protocol::kMaxPayloadBytes - 65537 - 2;

// The whole content of `path` ("-": standard input). Throws InputError, also
// for a text larger than kMaxTextBytes (read no further).
std::string readInput(const std::string& path);

// The text of --help.
const char* usageText();

}  // namespace talvoro::push
