#pragma once
// The floor: what one rule replacement costs at the least, measured without
// the service on the same file system and broker.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "request_reply.h"

namespace speed {

// Durable replacements of one file in a directory of `files` files of
// `fileBytes` bytes: write a temporary file, fsync it, rename it to the new
// final name, fsync the directory, remove the old file. Latency p50/p99 and
// the CPU time of this thread per replacement. The directory is created
// under `dir` on the first call and reused by later ones.
class ReplacementFloor {
 public:
  ReplacementFloor(std::filesystem::path dir, std::size_t files, std::size_t fileBytes);

  Figures measure(std::size_t replacements);

 private:
  std::filesystem::path fileName(std::size_t file) const;
  void replaceOne(int dirFd, std::size_t file);

  std::filesystem::path dir_;
  std::vector<std::size_t> versions_;
  std::string content_;
};

// Round trips through the broker to a trivial responder: a second client,
// on a thread of its own, that answers each request on "bench/request/<n>"
// with a QoS 1 reply on "bench/reply/<n>" (the request's CRC-32).
class RoundTripFloor {
 public:
  RoundTripFloor(const std::string& brokerUrl, std::size_t requestBytes);
  ~RoundTripFloor();

  RoundTripFloor(const RoundTripFloor&) = delete;
  RoundTripFloor& operator=(const RoundTripFloor&) = delete;

  Figures oneAtATime(std::size_t count);
  Figures pipelined(std::size_t count, std::size_t inFlight);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace speed
