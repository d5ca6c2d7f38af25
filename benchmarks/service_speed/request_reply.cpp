#include "request_reply.h"

#include <fmt/format.h>

#include <algorithm>
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

// Waits for the next answer to an outstanding request.
void awaitAnswer(testsupport::TestMqttClient& client, Exchange& exchange,
                 std::size_t sent, std::size_t count) {
  const auto deadline = Clock::now() + kAnswerTimeout;
  while (Clock::now() < deadline) {
    const auto message =
        client.waitMessage(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (message && exchange.answers(*message)) {
      return;
    }
  }
  throw std::runtime_error(fmt::format(
      "no answer within {} s ({} of {} requests sent)", kAnswerTimeout.count(), sent, count));
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
  return {field(&Figures::p50Ms), field(&Figures::p99Ms), field(&Figures::perSecond),
          field(&Figures::cpuMsPerOp), field(&Figures::rssMiB), field(&Figures::versusFloor)};
}

Figures latencyFigures(std::vector<double> seconds) {
  Figures figures;
  if (seconds.empty()) {
    return figures;
  }
  std::sort(seconds.begin(), seconds.end());
  figures.p50Ms = percentile(seconds, 0.50) * 1e3;
  figures.p99Ms = percentile(seconds, 0.99) * 1e3;
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

std::vector<double> oneAtATime(testsupport::TestMqttClient& client, Exchange& exchange,
                               std::size_t first, std::size_t count) {
  std::vector<double> latencies;
  latencies.reserve(count);
  for (std::size_t index = first; index < first + count; ++index) {
    const auto start = Clock::now();
    exchange.send(index);
    awaitAnswer(client, exchange, index - first + 1, count);
    latencies.push_back(secondsSince(start));
  }
  return latencies;
}

double pipelined(testsupport::TestMqttClient& client, Exchange& exchange,
                 std::size_t first, std::size_t count, std::size_t inFlight) {
  const auto start = Clock::now();
  std::size_t sent = 0;
  std::size_t answered = 0;
  while (answered < count) {
    if (sent < count && sent - answered < inFlight) {
      exchange.send(first + sent++);
      // Take what has already arrived without waiting.
      while (const auto message = client.waitMessage(std::chrono::milliseconds(0))) {
        answered += exchange.answers(*message) ? 1 : 0;
      }
    } else {
      awaitAnswer(client, exchange, sent, count);
      ++answered;
    }
  }
  return static_cast<double>(count) / secondsSince(start);
}

}  // namespace speed
