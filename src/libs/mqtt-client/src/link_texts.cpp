#include "link_texts.h"

#include <fmt/format.h>

#include <string_view>

#include "talvoro/mosquitto/mqtt_types.h"

namespace talvoro::mosquitto::detail {
namespace {

// The reasons of an MQTT 3.1.1 CONNACK refusal.
std::string_view connackReason(int code) {
  switch (code) {
    case 1: return "unacceptable protocol version";
    case 2: return "identifier rejected";
    case 3: return "server unavailable";
    case 4: return "bad user name or password";
    case 5: return "not authorised";
    default: return "refused";
  }
}

}  // namespace

std::string errorText(int rc) {
  const char* text = MQTTAsync_strerror(rc);
  return fmt::format("{} ({})", text != nullptr ? text : "unknown error", rc);
}

void check(int rc, const std::string& what) {
  if (rc != MQTTASYNC_SUCCESS) {
    throw MqttError(fmt::format("mqtt: {}: {}", what, errorText(rc)));
  }
}

std::string connectFailureText(const std::string& uri, const MQTTAsync_failureData& data,
                               const std::string& tlsError) {
  if (data.code > 0) {  // the broker's CONNACK return code
    return fmt::format("{}: connection refused: {} (MQTT return code {})", uri,
                       connackReason(data.code), data.code);
  }
  std::string text = fmt::format("{}: connection failed: {}", uri,
                                 data.message != nullptr ? fmt::format("{} ({})", data.message, data.code)
                                                         : errorText(data.code));
  if (!tlsError.empty()) {
    text += fmt::format(": {}", tlsError);
  }
  return text;
}

std::string durationText(std::chrono::steady_clock::duration duration) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
  if (s < 60) {
    return fmt::format("{} s", s);
  }
  if (s < 3600) {
    return fmt::format("{} min {} s", s / 60, s % 60);
  }
  return fmt::format("{} h {} min", s / 3600, s % 3600 / 60);
}

}  // namespace talvoro::mosquitto::detail
