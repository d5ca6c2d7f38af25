#include "request_reply.h"

#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace speed {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAnswerTimeout = std::chrono::seconds(30);

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double percentile(const std::vector<double>& sorted, double fraction) {
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

Figures medianOf(const std::vector<Figures>& runs) {
  auto field = [&](double Figures::*member) {
    std::vector<double> values;
    for (const Figures& run : runs) {
      values.push_back(run.*member);
    }
    return median(values);
  };
  return {field(&Figures::p50Ms),      field(&Figures::p99Ms),  field(&Figures::perSecond),
          field(&Figures::cpuMsPerOp), field(&Figures::rssMiB), field(&Figures::versusFloor)};
}

Figures LatencyRecorder::figures() const {
  Figures figures;
  if (seconds_.empty()) {
    return figures;
  }
  std::vector<double> sorted = seconds_;
  std::sort(sorted.begin(), sorted.end());
  figures.p50Ms = percentile(sorted, 0.50) * 1e3;
  figures.p99Ms = percentile(sorted, 0.99) * 1e3;
  figures.cpuMsPerOp = cpuSeconds_ * 1e3 / static_cast<double>(sorted.size());
  return figures;
}

std::uint32_t zlibCrc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

double processCpuSeconds(pid_t pid) {
  std::ifstream in(fmt::format("/proc/{}/stat", pid));
  const std::string stat((std::istreambuf_iterator<char>(in)), {});
  // The command name may hold blanks: count the fields after its ')'.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skipped;
  for (int field = 3; field < 14; ++field) {  // state .. cmajflt
    fields >> skipped;
  }
  double utime = 0;
  double stime = 0;
  if (!(fields >> utime >> stime)) {
    throw std::runtime_error(fmt::format("cannot read the CPU times of process {}", pid));
  }
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double residentMiB(pid_t pid) {
  std::ifstream status(fmt::format("/proc/{}/status", pid));
  for (std::string field; status >> field;) {
    double kilobytes = 0;
    if (field == "VmRSS:" && status >> kilobytes) {
      return kilobytes / 1024;
    }
  }
  return 0;
}

void Driver::drive(std::unique_ptr<Exchange> exchange, pid_t worker) {
  exchange_ = std::move(exchange);
  worker_ = worker;
}

double Driver::workerCpuSeconds() const { return worker_ > 0 ? processCpuSeconds(worker_) : 0; }

void Driver::awaitAnswer(std::size_t sent, std::size_t count) {
  const auto deadline = Clock::now() + kAnswerTimeout;
  while (Clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const auto message = client_.waitMessage(left);
    if (message && exchange_->answers(*message)) {
      return;
    }
  }
  throw std::runtime_error(fmt::format("no answer within {} s ({} of {} requests sent)",
                                       kAnswerTimeout.count(), sent, count));
}

void Driver::oneAtATime(std::size_t count, LatencyRecorder& recorder) {
  exchange_->prepare(next_, count);
  const double cpuBefore = workerCpuSeconds();
  for (std::size_t sent = 1; sent <= count; ++sent) {
    const auto start = Clock::now();
    exchange_->send(next_++);
    awaitAnswer(sent, count);
    recorder.add(secondsSince(start));
  }
  recorder.addCpu(workerCpuSeconds() - cpuBefore);
}

Figures Driver::pipelined(std::size_t count, std::size_t inFlight) {
  exchange_->prepare(next_, count);
  const double cpuBefore = workerCpuSeconds();
  const auto start = Clock::now();
  std::size_t sent = 0;
  std::size_t answered = 0;
  while (answered < count) {
    if (sent < count && sent - answered < inFlight) {
      exchange_->send(next_++);
      ++sent;
      // Take what has already arrived without waiting.
      while (const auto message = client_.waitMessage(std::chrono::milliseconds(0))) {
        answered += exchange_->answers(*message) ? 1 : 0;
      }
    } else {
      awaitAnswer(sent, count);
      ++answered;
    }
  }
  Figures figures;
  figures.perSecond = static_cast<double>(count) / secondsSince(start);
  if (worker_ > 0) {
    figures.cpuMsPerOp = (workerCpuSeconds() - cpuBefore) * 1e3 / static_cast<double>(count);
    figures.rssMiB = residentMiB(worker_);
  }
  return figures;
}

}  // namespace speed
