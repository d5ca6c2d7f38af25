// The syntax check on untrusted text: any text ends in a verdict, without a
// crash and within the engine's memory cap, and the heap that the checker
// keeps between texts reads a text the second time as it did the first.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "syntax_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One checker for all inputs, as the service keeps one.
  static talvoro::SyntaxChecker checker;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using Kind = talvoro::SyntaxVerdict::Kind;
  const talvoro::SyntaxVerdict first = checker.check(text);
  const talvoro::SyntaxVerdict second = checker.check(text);
  // Near the memory cap the heap's state may tip a text either way; a
  // verdict on the text itself must not change.
  if (first.kind != Kind::NotChecked && second.kind != Kind::NotChecked &&
      first.describe() != second.describe()) {
    std::abort();
  }
  return 0;
}
