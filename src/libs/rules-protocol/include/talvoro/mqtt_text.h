#pragma once
// Which texts an MQTT broker takes in a string of the protocol (a topic, a
// client identifier): the check that rule names and the service's client
// identifier share.

#include <string_view>

namespace talvoro::protocol {

enum class MqttTextFault {
  None,
  Malformed,  // not well-formed UTF-8: overlong forms, surrogates, beyond U+10FFFF, cut short
  Refused,    // a NUL, another control character or a non-character
};

// What keeps `text` from being an MQTT string that mosquitto takes: it refuses
// the connection of a client that sends one with such a fault (MQTT 3.1.1
// forbids malformed UTF-8 and NUL; mosquitto also control characters and
// non-characters).
MqttTextFault mqttTextFault(std::string_view text);

}  // namespace talvoro::protocol
