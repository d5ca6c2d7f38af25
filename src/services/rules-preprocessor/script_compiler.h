#pragma once
// The one thing the syntax check asks of an ECMAScript engine: compile a
// text as a script, never run it, and say why it does not compile.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "memory_cap.h"

namespace talvoro {

// Why a text did not compile.
struct CompileFailure {
  enum class Kind {
    Syntax,  // the text is not a valid script
    Limit,   // the engine gave up at a limit of its own (nesting, constants)
    Memory,  // the engine needed more than its memory cap
  };
  Kind kind;
  std::string message;  // the engine's, with its error name ("SyntaxError: ...")
  int line = 0;         // 1-based; 0 when the engine names none
};

// An engine that compiles scripts with the memory of one MemoryCap. It may
// keep its heap between two texts; whatever compiling a text allocated is
// given back before compile() returns.
class ScriptCompiler {
 public:
  virtual ~ScriptCompiler() = default;
  // Nothing when `text` compiles as a script (global code, not strict unless
  // it says so). Never throws for any text.
  virtual std::optional<CompileFailure> compile(std::string_view text) = 0;
};

// Duktape, the engine of the service.
std::unique_ptr<ScriptCompiler> makeDuktapeCompiler(MemoryCap& memory);

}  // namespace talvoro
