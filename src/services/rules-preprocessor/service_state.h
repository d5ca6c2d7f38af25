#pragma once
// The retained state that tells publishers whether a rule published now is
// heard: "waiting", "ready" or "offline" on the state topic.

#include <cstdint>
#include <string>

#include "talvoro/mosquitto/mqtt_async_wrapper.h"

namespace talvoro {

// "waiting" for the first configuration, "ready" once the broker
// acknowledged the rules subscription of this connection, "offline" (the
// will, and on a clean stop) when not. Announced once per connection, from
// the receive loop's thread.
class ServiceState {
 public:
  // Sets the client's will: construct before the client connects.
  explicit ServiceState(mosquitto::MqttAsyncWrapper& client);

  // Announces the state if it changed, or if the link is a new one.
  void update(bool configured);
  // Announces "offline" before a clean stop.
  void announceStop();

  // The state last announced on this connection; empty before the first.
  const std::string& announced() const { return announced_; }

 private:
  void announce(const std::string& state);

  mosquitto::MqttAsyncWrapper& client_;
  std::uint64_t connection_ = 0;
  std::string announced_;
};

}  // namespace talvoro
