// The syntax check's engine: Duktape compiles a text into a function that
// is thrown away unrun.

#include <duktape.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "script_compiler.h"

namespace talvoro {
namespace {

// A fresh heap holds about 100 KB of built-in objects; creating it costs
// several times the compilation of a typical rule, so the heap is kept
// between texts. A text that left more than this behind it (a grown string
// table) gets the heap torn down, so that nothing of it stays.
constexpr std::size_t kKeptGrowth = 32 * 1024;

void* allocate(void* memory, duk_size_t size) {
  return static_cast<MemoryCap*>(memory)->allocate(size);
}

void* reallocate(void* memory, void* block, duk_size_t size) {
  return static_cast<MemoryCap*>(memory)->reallocate(block, size);
}

void release(void* memory, void* block) { static_cast<MemoryCap*>(memory)->release(block); }

// Only an error outside a protected call, which this file never makes, or
// a broken engine get here; the engine cannot go on after it.
[[noreturn]] void onFatal(void*, const char* message) {
  std::fprintf(stderr, "rules-preprocessor: the syntax check's engine failed: %s\n",
               message != nullptr ? message : "(no message)");
  std::abort();
}

// [error] -> [error name message lineNumber], run protected: the properties
// may be getters, and any engine call may run out of memory.
duk_ret_t pushErrorFields(duk_context* heap, void*) {
  duk_get_prop_string(heap, -1, "name");
  duk_get_prop_string(heap, -2, "message");
  duk_get_prop_string(heap, -3, "lineNumber");
  return 3;
}

// Duktape puts the line into its message as well: "invalid object literal
// (line 2, end of input)". The line is given apart, so it goes.
std::string withoutLineSuffix(std::string message) {
  const std::size_t suffix = message.rfind(" (line ");
  if (suffix != std::string::npos && message.back() == ')') {
    message.erase(suffix);
  }
  return message;
}

class DuktapeCompiler final : public ScriptCompiler {
 public:
  explicit DuktapeCompiler(MemoryCap& memory) : memory_(memory) {}
  ~DuktapeCompiler() override { dropHeap(); }
  DuktapeCompiler(const DuktapeCompiler&) = delete;
  DuktapeCompiler& operator=(const DuktapeCompiler&) = delete;

  std::optional<CompileFailure> compile(std::string_view text) override {
    memory_.clearRefusal();
    if (heap_ == nullptr) {
      heap_ = duk_create_heap(allocate, reallocate, release, &memory_, onFatal);
      if (heap_ == nullptr) {
        return CompileFailure{CompileFailure::Kind::Memory,
                              "the engine does not start within its memory", 0};
      }
      baseline_ = memory_.used();
    }
    static const char kEmpty[] = "";
    std::optional<CompileFailure> failure;
    if (duk_pcompile_lstring(heap_, 0, text.empty() ? kEmpty : text.data(), text.size()) != 0) {
      failure = describeError();
    }
    duk_set_top(heap_, 0);
    if (memory_.refused() || memory_.used() > baseline_ + kKeptGrowth) {
      dropHeap();
    }
    return failure;
  }

 private:
  // The error on top of the stack, as a failure.
  CompileFailure describeError() {
    CompileFailure failure{CompileFailure::Kind::Limit, "", 0};
    if (duk_safe_call(heap_, pushErrorFields, nullptr, 1, 3) == DUK_EXEC_SUCCESS) {
      const char* name = duk_get_string(heap_, -3);
      const char* message = duk_get_string(heap_, -2);
      failure.line = duk_get_int(heap_, -1);
      failure.message = withoutLineSuffix(message != nullptr ? message : "");
      if (name != nullptr && *name != '\0') {
        failure.message = failure.message.empty() ? std::string(name)
                                                  : std::string(name) + ": " + failure.message;
      }
      if (name != nullptr && std::string(name) == "SyntaxError") {
        failure.kind = CompileFailure::Kind::Syntax;
      }
    } else {
      failure.message = "the engine's error cannot be read";
    }
    if (memory_.refused()) {
      failure.kind = CompileFailure::Kind::Memory;
    }
    return failure;
  }

  void dropHeap() {
    if (heap_ != nullptr) {
      duk_destroy_heap(heap_);
      heap_ = nullptr;
    }
  }

  MemoryCap& memory_;
  duk_context* heap_ = nullptr;
  std::size_t baseline_ = 0;  // what the heap holds between texts
};

}  // namespace

std::unique_ptr<ScriptCompiler> makeDuktapeCompiler(MemoryCap& memory) {
  return std::make_unique<DuktapeCompiler>(memory);
}

}  // namespace talvoro
