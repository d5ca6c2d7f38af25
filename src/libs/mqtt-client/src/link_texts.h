#pragma once
// The texts of the wrapper's errors and link events: the library's return
// codes, refused and failed connection attempts, and lengths of outages.

#include <MQTTAsync.h>

#include <chrono>
#include <string>

namespace talvoro::mosquitto::detail {

// The library's text for return code `rc`, with the code.
std::string errorText(int rc);

// Throws MqttError naming `what` unless `rc` is MQTTASYNC_SUCCESS.
void check(int rc, const std::string& what);

// Why an attempt to connect to `uri` failed; `tlsError` is what the TLS
// layer reported, if anything.
std::string connectFailureText(const std::string& uri, const MQTTAsync_failureData& data,
                               const std::string& tlsError);

// "42 s", "3 min 5 s", "2 h 10 min".
std::string durationText(std::chrono::steady_clock::duration duration);

}  // namespace talvoro::mosquitto::detail
