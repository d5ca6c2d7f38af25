#pragma once
// The MQTT session the service asks the broker for, as the environment says:
// MQTT_CLIENT_ID, the client identifier, and MQTT_PERSISTENT_SESSION, whether
// the broker keeps the session while the service is away.

#include <cstddef>
#include <stdexcept>
#include <string>

#include "environment_lookup.h"
#include "talvoro/mosquitto/mqtt_types.h"

namespace talvoro {

struct MqttSessionSettings {
  // The identifier the service presents to the broker; empty: the default,
  // regulations_manager_<pid>.
  std::string clientId;
  // No clean session: the broker keeps the subscriptions, and what arrives
  // for them at QoS 1 while the service is stopped, for the next start.
  bool persistent = false;
};

// A setting that the service refuses to start with; what() names the
// variable, its value and what is expected.
class MqttSessionSettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The longest string of the MQTT protocol, and so the longest identifier.
inline constexpr std::size_t kMaxClientIdBytes = 65535;

// The settings of the environment that `lookup` reads; an unset or empty
// variable is the default (the per-process identifier, a clean session).
// Throws MqttSessionSettingsError for a MQTT_PERSISTENT_SESSION other than 0
// or 1, for MQTT_PERSISTENT_SESSION=1 without MQTT_CLIENT_ID, and for an
// identifier that the broker refuses: longer than kMaxClientIdBytes, not
// well-formed UTF-8, or holding a control character or a non-character.
MqttSessionSettings mqttSessionSettingsFrom(const EnvironmentLookup& lookup);

// The identifier to connect with: the configured one, or
// regulations_manager_<pid> of this process.
std::string clientIdOf(const MqttSessionSettings& settings);

// The QoS of the subscriptions to configurations and rules: at least once
// with a persistent session, since the broker keeps only QoS 1 and 2
// messages for a client that is away; at most once otherwise, as always.
mosquitto::Qos intakeQos(const MqttSessionSettings& settings);

// The session in words, for the trace log at start.
std::string describe(const MqttSessionSettings& settings);

}  // namespace talvoro
