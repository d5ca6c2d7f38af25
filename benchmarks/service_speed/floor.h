#pragma once
// The floor: what one rule replacement costs at the least, measured without
// the service on the same file system and broker.

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "request_reply.h"

namespace speed {

// Durable replacements of one file in a directory of `files` files of
// `fileBytes` bytes: write a temporary file, fsync it, rename it to the new
// final name, fsync the directory, remove the old file. Records latency and
// the CPU time of the calling thread; the files are replaced in turn. The
// directory is filled on construction.
class ReplacementFloor {
 public:
  ReplacementFloor(std::filesystem::path dir, std::size_t files, std::size_t fileBytes);

  void measure(std::size_t replacements, LatencyRecorder& recorder);

 private:
  std::filesystem::path fileName(std::size_t file) const;
  void replaceOne(int dirFd, std::size_t file);

  std::filesystem::path dir_;
  std::vector<std::size_t> versions_;
  std::size_t next_ = 0;
  std::string content_;
};

// Round trips through the broker to a trivial responder: a second client,
// on a thread of its own, that answers each request on "bench/request/<n>"
// with a QoS 1 reply on "bench/reply/<n>" (the request's CRC-32).
class RoundTripFloor : public Driver {
 public:
  RoundTripFloor(const std::string& brokerUrl, std::size_t requestBytes);
  ~RoundTripFloor() override;

 private:
  void respond();

  testsupport::TestMqttClient responder_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace speed
