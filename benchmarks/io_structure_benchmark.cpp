// Loading a large IO structure: json::parse followed by parseIoStructure, as
// the service does at start-up, and parseIoStructureText, which builds the
// structure while the text is read. Resident memory is reported in bytes:
//   rss_before  before the text is parsed (the text itself is resident),
//   rss_peak    the highest resident size during parsing (VmHWM),
//   rss_after   once the JSON document and the template cache are gone and
//               only the element map is kept,
//   rss_freed   after the element map is destroyed as well (and the heap
//               trimmed).
// The peak is reset before each iteration through /proc/self/clear_refs.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>

#include "large_io_structure.h"
#include "process_memory.h"
#include "talvoro/io_structure.h"

namespace {

using bench::bytes;
using bench::Memory;
using bench::readMemory;
using bench::resetPeak;

constexpr std::size_t kElements = 100000;
// The size of the service memory benchmark's structure: 44.8 MB of text.
constexpr std::size_t kManyElements = 380000;

talvoro::IoStructure load(const std::string& text) {
  talvoro::TemplateCacheCleanupGuard guard{true};
  const auto document = nlohmann::json::parse(text);
  return talvoro::parseIoStructure<talvoro::IoInfo>(document, guard, false);
}

talvoro::IoStructure read(const std::string& text) {
  talvoro::TemplateCacheCleanupGuard guard{true};
  return talvoro::parseIoStructureText<talvoro::IoInfo>(text, guard, false);
}

template <talvoro::IoStructure (*Load)(const std::string&)>
void BM_LoadLargeIoStructure(benchmark::State& state) {
  const auto elements = static_cast<std::size_t>(state.range(0));
  const std::string text = makeLargeIoStructure(elements);
  malloc_trim(0);  // drop the generator's heap so rss_before is the text only
  Memory before;
  Memory loaded;
  Memory freed;
  for (auto _ : state) {
    state.PauseTiming();
    resetPeak();
    before = readMemory();
    state.ResumeTiming();

    auto structure = Load(text);
    benchmark::DoNotOptimize(structure);

    state.PauseTiming();
    loaded = readMemory();
    structure.clear();
    malloc_trim(0);
    freed = readMemory();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(elements));
  state.counters["rss_before"] = bytes(before.rss);
  state.counters["rss_peak"] = bytes(loaded.hwm);
  state.counters["rss_after"] = bytes(loaded.rss);
  state.counters["rss_freed"] = bytes(freed.rss);
  state.counters["text_size"] = bytes(static_cast<double>(text.size()));
}

// parseIoStructure alone, on an already parsed document.
void BM_ParseIoStructureOnly(benchmark::State& state) {
  const auto document = nlohmann::json::parse(
      makeLargeIoStructure(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    talvoro::TemplateCacheCleanupGuard guard;
    auto structure =
        talvoro::parseIoStructure<talvoro::IoInfo>(document, guard, false);
    benchmark::DoNotOptimize(structure);
    state.PauseTiming();
    structure.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_LoadLargeIoStructure<load>)
    ->Name("BM_LoadLargeIoStructure")
    ->Arg(kElements)
    ->Arg(kManyElements)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadLargeIoStructure<read>)
    ->Name("BM_ReadLargeIoStructureText")
    ->Arg(kElements)
    ->Arg(kManyElements)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseIoStructureOnly)
    ->Arg(kElements)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
