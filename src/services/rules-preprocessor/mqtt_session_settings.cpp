#include "mqtt_session_settings.h"

#include <fmt/format.h>
#include <unistd.h>

#include <string_view>

#include "service_trace.h"
#include "talvoro/mqtt_text.h"

namespace talvoro {
namespace {

// Of an identifier too long to quote, its start.
constexpr std::size_t kQuotedBytes = 64;

// The identifier in quotes as an error shows it: its start when it is long,
// and every byte escaped that is not printable ASCII when it has a fault, so
// that the message is fit for a terminal and the journal.
std::string quoted(std::string_view id, bool escape) {
  std::string text = "\"";
  for (const char c : excerpt(id, kQuotedBytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (escape && (byte < 0x20 || byte > 0x7E)) {
      text += fmt::format("\\x{:02X}", byte);
    } else {
      text += c;
    }
  }
  return text + "\"";
}

std::string checkedClientId(std::string_view id) {
  switch (protocol::mqttTextFault(id)) {
    case protocol::MqttTextFault::None:
      break;
    case protocol::MqttTextFault::Malformed:
      throw MqttSessionSettingsError(
          fmt::format("MQTT_CLIENT_ID={} is not well-formed UTF-8, which the broker refuses",
                      quoted(id, true)));
    case protocol::MqttTextFault::Refused:
      throw MqttSessionSettingsError(fmt::format(
          "MQTT_CLIENT_ID={} holds a control character or a non-character, which the broker "
          "refuses",
          quoted(id, true)));
  }
  if (id.size() > kMaxClientIdBytes) {
    throw MqttSessionSettingsError(
        fmt::format("MQTT_CLIENT_ID={} has {} bytes; MQTT takes at most {}", quoted(id, false),
                    id.size(), kMaxClientIdBytes));
  }
  return std::string(id);
}

bool persistentOf(std::string_view value) {
  if (value.empty() || value == "0") {
    return false;
  }
  if (value == "1") {
    return true;
  }
  throw MqttSessionSettingsError(
      fmt::format("MQTT_PERSISTENT_SESSION=\"{}\" is not a switch: expected 0 or 1", value));
}

}  // namespace

MqttSessionSettings mqttSessionSettingsFrom(const EnvironmentLookup& lookup) {
  MqttSessionSettings settings;
  settings.clientId = checkedClientId(environmentValue(lookup, "MQTT_CLIENT_ID"));
  settings.persistent = persistentOf(environmentValue(lookup, "MQTT_PERSISTENT_SESSION"));
  if (settings.persistent && settings.clientId.empty()) {
    // Under the per-process identifier no start would take the session up
    // again, and the broker would keep each one, and queue for it.
    throw MqttSessionSettingsError(
        "MQTT_PERSISTENT_SESSION=1 needs MQTT_CLIENT_ID: a session kept under the identifier "
        "of one process (regulations_manager_<pid>) is never taken up again");
  }
  return settings;
}

std::string clientIdOf(const MqttSessionSettings& settings) {
  return settings.clientId.empty() ? fmt::format("regulations_manager_{}", getpid())
                                   : settings.clientId;
}

mosquitto::Qos intakeQos(const MqttSessionSettings& settings) {
  return settings.persistent ? mosquitto::Qos::AtLeastOnce : mosquitto::Qos::AtMostOnce;
}

std::string describe(const MqttSessionSettings& settings) {
  return fmt::format(
      "клиент MQTT {}, {}", clientIdOf(settings),
      settings.persistent
          ? "постоянная сессия (структура ввода-вывода и правила с QoS 1 ждут у брокера, "
            "пока сервис остановлен)"
          : "чистая сессия");
}

}  // namespace talvoro
