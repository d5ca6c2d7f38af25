// Configuration intake of a large IO structure (100,000 elements) through the
// service's own code: hash, parse, element map replaced, template cache
// emptied and heap trimmed. Resident memory is reported in bytes:
//   rss_before  the previous structure in place, the new text received,
//   rss_peak    the highest resident size during intake (VmHWM),
//   rss_after   the new structure in place, everything else released.
// The peak is reset before each iteration through /proc/self/clear_refs.

#include "configuration.h"

#include <malloc.h>

#include <benchmark/benchmark.h>

#include "large_io_structure.h"
#include "process_memory.h"

namespace {

constexpr std::size_t kElements = 100000;

// Intake opens the rules topic once; the benchmark starts past that point.
void openNothing() {}

// Two payloads that differ in one blank, so that every iteration is a new
// configuration of the same size.
void BM_AcceptConfiguration(benchmark::State& state) {
  const std::string text = makeLargeIoStructure(static_cast<std::size_t>(state.range(0)));
  const std::vector<std::string> payloads = {text, text + " "};
  talvoro::Configuration configuration;
  configuration.take(payloads[1], openNothing);
  malloc_trim(0);

  bench::Memory before;
  bench::Memory after;
  std::size_t next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench::resetPeak();
    before = bench::readMemory();
    state.ResumeTiming();

    configuration.take(payloads[next], openNothing);
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
  const std::string payload = makeLargeIoStructure(static_cast<std::size_t>(state.range(0)));
  talvoro::Configuration configuration;
  configuration.take(payload, openNothing);
  for (auto _ : state) {
    configuration.take(payload, openNothing);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
}

BENCHMARK(BM_AcceptConfiguration)->Arg(kElements)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepeatedConfiguration)->Arg(kElements)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
