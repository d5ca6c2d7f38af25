#pragma once
// Drives request/reply exchanges over MQTT and summarises what was measured.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/test_mqtt_client.h"

namespace speed {

// The figures of one measurement run; a field that was not measured is 0.
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

// Latencies and CPU time of operations, gathered in several chunks.
class LatencyRecorder {
 public:
  void add(double seconds) { seconds_.push_back(seconds); }
  void addCpu(double seconds) { cpuSeconds_ += seconds; }
  // p50 and p99 (nearest rank) and CPU per operation, in milliseconds.
  Figures figures() const;

 private:
  std::vector<double> seconds_;
  double cpuSeconds_ = 0;
};

// CRC-32 as zlib computes it (reflected, polynomial 0xEDB88320).
std::uint32_t zlibCrc32(const std::string& bytes);

// utime + stime of a process, in seconds; resident memory (VmRSS).
double processCpuSeconds(pid_t pid);
double residentMiB(pid_t pid);

// One kind of request: how it is sent and how its answer is recognised.
class Exchange {
 public:
  virtual ~Exchange() = default;
  // Makes requests `first` to `first + count - 1` ready before they are
  // timed, when making one costs the sender noticeable time.
  virtual void prepare(std::size_t /*first*/, std::size_t /*count*/) {}
  // Publishes request number `index`.
  virtual void send(std::size_t index) = 0;
  // True when `message` answers an outstanding request; throws when it is
  // a wrong answer (say, a status with another CRC).
  virtual bool answers(const testsupport::Received& message) = 0;
};

// Sends numbered requests of one exchange through its own client, numbering
// on across calls, and measures them. With a worker process it also measures
// that process's CPU time per request and its resident memory.
class Driver {
 public:
  virtual ~Driver() = default;
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // Sends `count` requests, each after the previous one was answered.
  // Throws when an answer does not come.
  void oneAtATime(std::size_t count, LatencyRecorder& recorder);
  // Sends `count` requests keeping `inFlight` unanswered: answers per second.
  Figures pipelined(std::size_t count, std::size_t inFlight);

 protected:
  Driver() = default;
  testsupport::TestMqttClient& client() { return client_; }
  void drive(std::unique_ptr<Exchange> exchange, pid_t worker = -1);

 private:
  void awaitAnswer(std::size_t sent, std::size_t count);
  double workerCpuSeconds() const;

  testsupport::TestMqttClient client_;
  std::unique_ptr<Exchange> exchange_;
  pid_t worker_ = -1;
  std::size_t next_ = 0;
};

}  // namespace speed
