#pragma once
// The built service, in its private mount namespace, driven over MQTT by an
// independent client that checks every status against the CRC-32 of the
// rule text it sent.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "request_reply.h"
#include "testsupport/mosquitto_broker.h"

namespace speed {

// One service process with `rules` rule files already installed (written
// before it starts, each of about `ruleBytes` bytes), configured and ready
// for rules. Every rule sent updates one of the installed rules with a text
// of its own, so that each is installed and acknowledged. Stops the service
// on destruction.
class ServiceCase {
 public:
  ServiceCase(const testsupport::MosquittoBroker& broker, const std::filesystem::path& dir,
              std::size_t rules, std::size_t ruleBytes);
  ~ServiceCase();

  ServiceCase(const ServiceCase&) = delete;
  ServiceCase& operator=(const ServiceCase&) = delete;

  // Latency p50/p99 and the service's CPU per rule.
  Figures oneAtATime(std::size_t count);
  // Rules per second, the service's CPU per rule and its resident memory after.
  Figures pipelined(std::size_t count, std::size_t inFlight);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace speed
