#pragma once
// Drives request/reply exchanges over MQTT and summarises what was measured.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/test_mqtt_client.h"

namespace speed {

// The figures of one measurement run; every field is optional (0 = none).
struct Figures {
  double p50Ms = 0;
  double p99Ms = 0;
  double perSecond = 0;
  double cpuMsPerOp = 0;
  double rssMiB = 0;
  double versusFloor = 0;  // the same figure of the floor measured alongside
};

// Field by field median of several runs of the same measurement.
Figures medianOf(const std::vector<Figures>& runs);

// p50 and p99 (nearest rank) of latencies in seconds, as milliseconds.
Figures latencyFigures(std::vector<double> seconds);

// CRC-32 as zlib computes it (reflected, polynomial 0xEDB88320).
std::uint32_t zlibCrc32(const std::string& bytes);

// One kind of request: how it is sent and how its answer is recognised.
class Exchange {
 public:
  virtual ~Exchange() = default;
  // Publishes request number `index`.
  virtual void send(std::size_t index) = 0;
  // True when `message` answers an outstanding request; throws when it is
  // a wrong answer (say, a status with another CRC).
  virtual bool answers(const testsupport::Received& message) = 0;
};

// Sends `count` requests one at a time, each after the previous answer
// arrived; the latencies in seconds. Throws when an answer does not come.
std::vector<double> oneAtATime(testsupport::TestMqttClient& client, Exchange& exchange,
                               std::size_t first, std::size_t count);

// Sends `count` requests keeping `inFlight` unanswered; answers per second.
double pipelined(testsupport::TestMqttClient& client, Exchange& exchange,
                 std::size_t first, std::size_t count, std::size_t inFlight);

}  // namespace speed
