// rules-preprocessor: takes the controller's IO structure and automation rules
// over MQTT, resolves the placeholders of each rule against the IO structure,
// installs the result as one file per rule in the rule engine's directory and
// acknowledges every installed rule with the CRC-32 of the text it received.

#include <fmt/format.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include "command_line.h"
#include "mqtt_session_settings.h"
#include "p7/trace.h"
#include "rule_check_settings.h"
#include "rule_directory.h"
#include "service.h"
#include "service_trace.h"
#include "signed_mode.h"
#include "stop_signals.h"

// The version text comes from the build (CMakeLists.txt), which also derives
// the package version from it.
#ifndef RULES_PREPROCESSOR_VERSION
#error "RULES_PREPROCESSOR_VERSION must be defined by the build"
#endif

namespace {

// Which rules the service takes, said at every start.
void traceSigningMode(const talvoro::signing::TrustedKeys* trusted) {
  P7::TraceChannel& trace = *P7::getTrace();
  if (trusted == nullptr) {
    TRACE_AS(__func__, trace, Info, "%s",
             "Подписи не требуются и не проверяются (RULES_TRUSTED_KEYS не задан)");
    return;
  }
  for (const talvoro::signing::PublicKey& key : trusted->keys()) {
    TRACE_AS(__func__, trace, Info, "Доверенный ключ %s: %s", key.id().c_str(),
             key.source().c_str());
  }
  TRACE_AS(__func__, trace, Info,
           "Принимаются только правила и структуры ввода-вывода, подписанные одним из %zu "
           "ключей",
           trusted->keys().size());
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before anything else: a mistyped call starts no second instance.
  if (const auto status = talvoro::handleCommandLine(argc, argv, std::cout, std::cerr)) {
    return *status;
  }
  // A setting the service cannot work with is refused like a bad argument:
  // before any work, so that the supervisor's log shows why at once.
  const auto environment = [](const char* name) { return std::getenv(name); };
  talvoro::RuleCheckSettings checks;
  talvoro::MqttSessionSettings session;
  try {
    checks = talvoro::ruleCheckSettingsFrom(environment);
    session = talvoro::mqttSessionSettingsFrom(environment);
  } catch (const talvoro::RuleCheckSettingsError& error) {
    std::cerr << "rules-preprocessor: " << error.what() << '\n';
    return 2;
  } catch (const talvoro::MqttSessionSettingsError& error) {
    std::cerr << "rules-preprocessor: " << error.what() << '\n';
    return 2;
  }
  talvoro::blockStopSignals();
  {
    const std::string channel(P7::MainTrace);
    // Without a program path the log still gets a directory of its own.
    const char* programPath = argv[0] != nullptr ? argv[0] : "rules-preprocessor";
    std::string options = fmt::format(
        "/P7.Sink=FileTxt /P7.Dir=/var/log/p7/{} /P7.Roll=24hr /P7.Files=3 "
        "/P7.FSize=10 /P7.Trc.Verb=2",
        programPath);
    P7::TraceChannel* trace = P7::LoggerInit(channel, std::move(options));
    const talvoro::RecordsAlsoOnStandardError startRecord;
    TRACE_AS(__func__, *trace, Info, "Version %s", RULES_PREPROCESSOR_VERSION);
    TRACE_AS(__func__, *trace, Info, "Проверка синтаксиса правил: %s; команда проверки: %s",
             talvoro::modeName(checks.syntaxCheck),
             checks.command ? checks.command->program().c_str() : "нет");
    TRACE_AS(__func__, *trace, Info, "Сессия MQTT: %s", talvoro::describe(session).c_str());
  }
  std::optional<talvoro::signing::TrustedKeys> trusted;
  try {
    trusted = talvoro::trustedKeysFromEnvironment();
  } catch (const talvoro::signing::KeyError& error) {
    // Keys the operator meant to require are never silently done without.
    TRACE_AS(__func__, *P7::getTrace(), Error, "RULES_TRUSTED_KEYS не принят: %s", error.what());
    return 2;
  }
  {
    const talvoro::RecordsAlsoOnStandardError startRecord;
    traceSigningMode(trusted ? &*trusted : nullptr);
  }
  try {
    talvoro::add_rule_client_run(std::move(checks), session, trusted ? &*trusted : nullptr);
  } catch (const talvoro::AnotherInstanceRunning&) {
    return 1;  // already said in the trace log
  } catch (const std::exception& error) {
    // Exit with a failure so that the supervisor restarts the service.
    TRACE_AS(__func__, *P7::getTrace(), Error, "Аварийное завершение: %s", error.what());
    return 1;
  } catch (...) {
    TRACE_AS(__func__, *P7::getTrace(), Error, "%s",
             "Аварийное завершение: неизвестное исключение");
    return 1;
  }
  return 0;
}
