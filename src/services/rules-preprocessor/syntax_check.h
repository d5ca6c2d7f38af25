#pragma once
// The built-in syntax check of a translated rule: an ECMAScript 5.1 engine
// compiles the text, in the service's process, within a memory cap.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "memory_cap.h"
#include "script_compiler.h"

namespace talvoro {

// What the check found.
struct SyntaxVerdict {
  enum class Kind {
    Valid,       // the text compiles
    Invalid,     // it does not: `message` and `line` say why and where
    NotChecked,  // too large, or beyond the engine's memory or limits: `message` says which
  };
  Kind kind = Kind::Valid;
  std::string message;
  int line = 0;  // of an Invalid text, 1-based; 0 when unknown

  // "SyntaxError: invalid object literal, line 2"; "not checked: ..." for a
  // text that was not checked; empty for a valid one.
  std::string describe() const;
};

// Checks texts one after the other (one thread at a time). Its engine's
// memory stays within the cap; what a check allocated is given back after
// it, only the engine's empty heap is kept between checks.
class SyntaxChecker {
 public:
  struct Limits {
    std::size_t maxTextBytes;  // larger texts are not checked
    std::size_t memoryBytes;   // the engine's memory cap
  };
  // Texts of the size of a large rule take a few milliseconds and a few
  // times their size in memory (benchmarks/syntax_check_benchmark.cpp).
  static constexpr Limits kDefaultLimits{512 * 1024, 8 * 1024 * 1024};

  explicit SyntaxChecker(Limits limits = kDefaultLimits);
  ~SyntaxChecker();
  SyntaxChecker(const SyntaxChecker&) = delete;
  SyntaxChecker& operator=(const SyntaxChecker&) = delete;

  SyntaxVerdict check(std::string_view text);

  const Limits& limits() const { return limits_; }
  // The engine's memory now and at its most (for the benchmark).
  const MemoryCap& memory() const { return memory_; }
  void resetPeak() { memory_.resetPeak(); }

 private:
  Limits limits_;
  MemoryCap memory_;
  std::unique_ptr<ScriptCompiler> compiler_;
};

// The 1-based line of the first byte of `text` that does not belong to a
// well-formed UTF-8 sequence; 0 when there is none.
int firstInvalidUtf8Line(std::string_view text);

}  // namespace talvoro
