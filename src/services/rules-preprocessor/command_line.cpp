#include "command_line.h"

#include <string_view>

namespace talvoro {
namespace {

constexpr int kBadUsage = 2;

constexpr const char* kUsage = "Usage: rules-preprocessor [--help | --version]\n";

constexpr const char* kHelp =
    "Installs automation rules received over MQTT into /etc/wb-rules, with the\n"
    "placeholders of each rule replaced by the names of the controller's current\n"
    "IO structure, and acknowledges each installed rule with its CRC-32.\n"
    "\n"
    "It takes no arguments and no configuration file. The broker is taken from the\n"
    "environment: MQTT_BROKER_URL (default tcp://127.0.0.1:1883), MQTT_USERNAME,\n"
    "MQTT_PASSWORD_FILE, MQTT_CA_FILE, MQTT_CERT_FILE, MQTT_KEY_FILE. Rules are\n"
    "checked before they are installed as RULES_SYNTAX_CHECK (warn, reject or off)\n"
    "and RULES_CHECK_COMMAND say. With RULES_TRUSTED_KEYS (a directory of Ed25519\n"
    "public keys) only signed rules and IO structures are taken.\n"
    "The trace log is in /var/log/p7/<program>/.\n"
    "See rules-preprocessor(8).\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n";

}  // namespace

std::optional<int> handleCommandLine(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err) {
  if (argc <= 1) {
    return std::nullopt;
  }
  const std::string_view first = argv[1];
  const bool answered = first == "--help" || first == "--version";
  if (answered && argc == 2) {
    if (first == "--help") {
      out << kUsage << '\n' << kHelp;
    } else {
      out << "rules-preprocessor " << RULES_PREPROCESSOR_VERSION << '\n';
    }
    return 0;
  }
  err << "rules-preprocessor: unexpected argument '" << (answered ? argv[2] : argv[1])
      << "': the service takes no arguments\n"
      << kUsage;
  return kBadUsage;
}

}  // namespace talvoro
