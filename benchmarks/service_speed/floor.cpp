#include "floor.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <stdexcept>
#include <thread>

namespace speed {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

class Fd {
 public:
  Fd(const fs::path& path, int flags, mode_t mode = 0644) : fd_(::open(path.c_str(), flags, mode)) {
    if (fd_ < 0) {
      throw std::runtime_error(fmt::format("open {}: {}", path.string(), std::strerror(errno)));
    }
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void check(bool ok, const std::string& what, const fs::path& path) {
  if (!ok) {
    throw std::runtime_error(fmt::format("{} {}: {}", what, path.string(), std::strerror(errno)));
  }
}

double threadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

constexpr const char* kRequestPrefix = "bench/request/";
constexpr const char* kReplyPrefix = "bench/reply/";
constexpr auto kPoll = std::chrono::milliseconds(50);

}  // namespace

ReplacementFloor::ReplacementFloor(fs::path dir, std::size_t files, std::size_t fileBytes)
    : dir_(std::move(dir)), versions_(files, 0), content_(fileBytes, 'x') {
  fs::create_directories(dir_);
  for (std::size_t file = 0; file < files; ++file) {
    std::ofstream(fileName(file), std::ios::binary) << content_;
  }
  ::sync();
}

fs::path ReplacementFloor::fileName(std::size_t file) const {
  return dir_ / fmt::format("floor-{}-__{}__.js", file, versions_[file]);
}

void ReplacementFloor::replaceOne(int dirFd, std::size_t file) {
  const fs::path temporary = dir_ / ".floor-tmp";
  {
    Fd out(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
    check(::write(out.get(), content_.data(), content_.size()) ==
              static_cast<ssize_t>(content_.size()), "write", temporary);
    check(::fsync(out.get()) == 0, "fsync", temporary);
  }
  const fs::path old = fileName(file);
  ++versions_[file];
  check(::rename(temporary.c_str(), fileName(file).c_str()) == 0, "rename", temporary);
  check(::fsync(dirFd) == 0, "fsync", dir_);
  check(::unlink(old.c_str()) == 0, "unlink", old);
}

void ReplacementFloor::measure(std::size_t replacements, LatencyRecorder& recorder) {
  Fd dir(dir_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const double cpuBefore = threadCpuSeconds();
  for (std::size_t done = 0; done < replacements; ++done) {
    const auto start = Clock::now();
    replaceOne(dir.get(), next_++ % versions_.size());
    recorder.add(std::chrono::duration<double>(Clock::now() - start).count());
  }
  recorder.addCpu(threadCpuSeconds() - cpuBefore);
}

// The requester's side: request n carries a fixed payload, its reply the CRC.
class RequestExchange : public Exchange {
 public:
  RequestExchange(testsupport::TestMqttClient& client, std::size_t requestBytes)
      : client_(client), payload_(requestBytes, 'r'), crc_(std::to_string(zlibCrc32(payload_))) {}

  void send(std::size_t index) override {
    outstanding_.insert(index);
    client_.publish(kRequestPrefix + std::to_string(index), payload_, 1);
  }

  bool answers(const testsupport::Received& message) override {
    const std::size_t index = std::stoul(message.topic.substr(std::strlen(kReplyPrefix)));
    if (message.payload != crc_ || outstanding_.erase(index) == 0) {
      throw std::runtime_error(fmt::format("unexpected reply {} on {}", message.payload, message.topic));
    }
    return true;
  }

 private:
  testsupport::TestMqttClient& client_;
  std::string payload_;
  std::string crc_;
  std::set<std::size_t> outstanding_;
};

RoundTripFloor::RoundTripFloor(const std::string& brokerUrl, std::size_t requestBytes) {
  responder_.connect(brokerUrl, "speed-floor-responder");
  responder_.subscribe(std::string(kRequestPrefix) + "+", 1);
  client().connect(brokerUrl, "speed-floor-requester");
  client().subscribe(std::string(kReplyPrefix) + "+", 1);
  drive(std::make_unique<RequestExchange>(client(), requestBytes));
  thread_ = std::thread([this] { respond(); });
}

RoundTripFloor::~RoundTripFloor() {
  stopping_ = true;
  thread_.join();
}

void RoundTripFloor::respond() {
  try {
    while (!stopping_) {
      if (const auto request = responder_.waitMessage(kPoll)) {
        const std::string index = request->topic.substr(std::strlen(kRequestPrefix));
        responder_.publish(kReplyPrefix + index, std::to_string(zlibCrc32(request->payload)), 1);
      }
    }
  } catch (const std::exception& error) {
    // The requester then reports the missing reply.
    std::cerr << "floor responder: " << error.what() << "\n";
  }
}

}  // namespace speed
