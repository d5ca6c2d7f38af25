// The cost of the built-in syntax check of a rule, per KiB of rule text, and
// the engine choice behind it: Duktape (the service's engine) against MuJS
// (when libmujs-dev is installed), each with its heap kept between texts (as
// the service keeps it) and with a fresh heap per text. Counters:
//   us_per_KiB   time per KiB of text (shown as seconds: 70u is 70 µs),
//   peak_per_B   memory the engine took above its empty heap, per byte of text,
//   heap_bytes   the empty heap it keeps between texts.
// The texts are a rule like the README's example, its placeholders
// translated, repeated under other rule names up to the size (400: one rule
// of about the size that the service's speed benchmark sends).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "memory_cap.h"
#include "script_compiler.h"

#ifdef RP_HAVE_MUJS
extern "C" {
#include <mujs.h>
}
#endif

namespace {

// Far above what any text here needs: the benchmark measures the need.
constexpr std::size_t kMeasuringCap = 256 * 1024 * 1024;

// 390 bytes.
constexpr const char* kRule = R"js(// 1765090800
// Kitchen light: follows the wall switch, off after 10 minutes.
defineRule("RULE_NAME", {
  whenChanged: "wb-gpio/EXT1_IN2",
  then: function (newValue, devName, cellName) {
    dev["relay_7/K2"] = newValue;
    log("kitchen light on port " + 3 + ": " + newValue);
    if (newValue) {
      setTimeout(function () {
        dev["relay_7/K2"] = false;
      }, 10 * 60 * 1000);
    }
  }
});
)js";

// Whole rules up to `bytes` bytes, at least one.
std::string ruleText(std::size_t bytes) {
  std::string text;
  for (int n = 0;; ++n) {
    std::string rule = kRule;
    rule.replace(rule.find("RULE_NAME"), 9, "rule_" + std::to_string(n));
    if (n > 0 && text.size() + rule.size() > bytes) {
      return text;
    }
    text += rule;
  }
}

using CompilerFactory = std::unique_ptr<talvoro::ScriptCompiler> (*)(talvoro::MemoryCap&);

void measure(benchmark::State& state, CompilerFactory makeCompiler, bool freshHeap) {
  const std::string text = ruleText(static_cast<std::size_t>(state.range(0)));
  talvoro::MemoryCap memory(kMeasuringCap);
  std::unique_ptr<talvoro::ScriptCompiler> compiler = makeCompiler(memory);
  if (compiler->compile("")) {
    state.SkipWithError("the engine does not compile an empty text");
    return;
  }
  const std::size_t emptyHeap = memory.used();
  memory.resetPeak();
  for (auto _ : state) {
    if (freshHeap) {
      compiler = makeCompiler(memory);
    }
    if (compiler->compile(text)) {
      state.SkipWithError("the rule text does not compile");
      return;
    }
  }
  const double kib = static_cast<double>(text.size()) / 1024;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["us_per_KiB"] = benchmark::Counter(
      kib, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["peak_per_B"] =
      static_cast<double>(memory.peak() - emptyHeap) / static_cast<double>(text.size());
  state.counters["heap_bytes"] = static_cast<double>(emptyHeap);
  state.counters["text_bytes"] = static_cast<double>(text.size());
}

void BM_Duktape_KeptHeap(benchmark::State& state) {
  measure(state, talvoro::makeDuktapeCompiler, false);
}
void BM_Duktape_FreshHeap(benchmark::State& state) {
  measure(state, talvoro::makeDuktapeCompiler, true);
}

#ifdef RP_HAVE_MUJS
// MuJS behind the same interface, for the comparison only.
class MujsCompiler final : public talvoro::ScriptCompiler {
 public:
  explicit MujsCompiler(talvoro::MemoryCap& memory) : memory_(memory) {}
  ~MujsCompiler() override {
    if (state_ != nullptr) {
      js_freestate(state_);
    }
  }

  std::optional<talvoro::CompileFailure> compile(std::string_view text) override {
    using Kind = talvoro::CompileFailure::Kind;
    if (state_ == nullptr && (state_ = js_newstate(allocate, &memory_, 0)) == nullptr) {
      return talvoro::CompileFailure{Kind::Memory, "no state", 0};
    }
    const std::string source(text);  // MuJS reads up to the first NUL
    std::optional<talvoro::CompileFailure> failure;
    if (js_ploadstring(state_, "rule", source.c_str()) != 0) {
      failure = talvoro::CompileFailure{Kind::Syntax, js_trystring(state_, -1, "?"), 0};
    }
    js_pop(state_, 1);
    js_gc(state_, 0);
    return failure;
  }

 private:
  static void* allocate(void* memory, void* block, int size) {
    auto& cap = *static_cast<talvoro::MemoryCap*>(memory);
    if (size == 0) {
      cap.release(block);
      return nullptr;
    }
    return cap.reallocate(block, static_cast<std::size_t>(size));
  }

  talvoro::MemoryCap& memory_;
  js_State* state_ = nullptr;
};

std::unique_ptr<talvoro::ScriptCompiler> makeMujsCompiler(talvoro::MemoryCap& memory) {
  return std::make_unique<MujsCompiler>(memory);
}

void BM_Mujs_KeptHeap(benchmark::State& state) { measure(state, makeMujsCompiler, false); }
void BM_Mujs_FreshHeap(benchmark::State& state) { measure(state, makeMujsCompiler, true); }
#endif

// Text sizes in bytes: one rule of the speed benchmark's size, a large
// rule, and up to the largest text the service checks.
void textSizes(benchmark::internal::Benchmark* benchmark) {
  for (const std::int64_t bytes : {400, 2 * 1024, 16 * 1024, 128 * 1024, 512 * 1024}) {
    benchmark->Arg(bytes);
  }
  benchmark->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Duktape_KeptHeap)->Apply(textSizes);
BENCHMARK(BM_Duktape_FreshHeap)->Apply(textSizes);
#ifdef RP_HAVE_MUJS
BENCHMARK(BM_Mujs_KeptHeap)->Apply(textSizes);
BENCHMARK(BM_Mujs_FreshHeap)->Apply(textSizes);
#endif

}  // namespace

BENCHMARK_MAIN();
