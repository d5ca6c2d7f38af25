// Configuration intake of a large IO structure (100,000 elements) through the
// service's own code: hash, parse, element map replaced, template cache
// emptied and heap trimmed. Resident memory is reported in bytes:
//   rss_before  the previous structure in place, the new text received,
//   rss_peak    the highest resident size during intake (VmHWM),
//   rss_after   the new structure in place, everything else released.
// The peak is reset before each iteration through /proc/self/clear_refs.

#include "main.cpp"

#include <benchmark/benchmark.h>

#include "large_io_structure.h"
#include "process_memory.h"

namespace {

constexpr std::size_t kElements = 100000;

std::vector<char> bytesOf(const std::string& text) {
  return std::vector<char>(text.begin(), text.end());
}

// A client that is never connected: intake only subscribes once, and the
// benchmark starts past that point.
talvoro::mosquitto::MqttAsyncWrapper& idleClient() {
  static talvoro::mosquitto::MqttAsyncWrapper client("intake-benchmark");
  return client;
}

// Two payloads that differ in one blank, so that every iteration is a new
// configuration of the same size.
void BM_AcceptConfiguration(benchmark::State& state) {
  const std::string text = makeLargeIoStructure(static_cast<std::size_t>(state.range(0)));
  const std::vector<std::vector<char>> payloads = {bytesOf(text), bytesOf(text + " ")};
  bool needRulesSubscription = false;
  talvoro::handleConfiguration(payloads[1], idleClient(), needRulesSubscription);
  malloc_trim(0);

  bench::Memory before;
  bench::Memory after;
  std::size_t next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench::resetPeak();
    before = bench::readMemory();
    state.ResumeTiming();

    talvoro::handleConfiguration(payloads[next], idleClient(), needRulesSubscription);
    next = 1 - next;

    state.PauseTiming();
    after = bench::readMemory();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["rss_before"] = bench::bytes(before.rss);
  state.counters["rss_peak"] = bench::bytes(after.hwm);
  state.counters["rss_after"] = bench::bytes(after.rss);
  state.counters["text_size"] = bench::bytes(static_cast<double>(text.size()));
}

// The same payload again: one copy and one hash, no parse.
void BM_RepeatedConfiguration(benchmark::State& state) {
  const auto payload = bytesOf(makeLargeIoStructure(static_cast<std::size_t>(state.range(0))));
  bool needRulesSubscription = false;
  talvoro::handleConfiguration(payload, idleClient(), needRulesSubscription);
  for (auto _ : state) {
    talvoro::handleConfiguration(payload, idleClient(), needRulesSubscription);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
}

BENCHMARK(BM_AcceptConfiguration)->Arg(kElements)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepeatedConfiguration)->Arg(kElements)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
