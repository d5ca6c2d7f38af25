#include "syntax_check.h"

#include <fmt/format.h>

namespace talvoro {
namespace {

std::string sizeText(std::size_t bytes) {
  constexpr std::size_t kKibibyte = 1024;
  constexpr std::size_t kMebibyte = 1024 * kKibibyte;
  if (bytes % kMebibyte == 0) {
    return fmt::format("{} MiB", bytes / kMebibyte);
  }
  if (bytes % kKibibyte == 0) {
    return fmt::format("{} KiB", bytes / kKibibyte);
  }
  return fmt::format("{} bytes", bytes);
}

// The length of the well-formed UTF-8 sequence at the start of `text`, 0
// when there is none (overlong forms, surrogates and values above U+10FFFF
// are not well-formed).
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) {
      return 0;
    }
  }
  return length;
}

}  // namespace

std::string SyntaxVerdict::describe() const {
  switch (kind) {
    case Kind::Valid:
      return "";
    case Kind::Invalid:
      return line > 0 ? fmt::format("{}, line {}", message, line) : message;
    case Kind::NotChecked:
      break;
  }
  return "not checked: " + message;
}

SyntaxChecker::SyntaxChecker(Limits limits)
    : limits_(limits), memory_(limits.memoryBytes), compiler_(makeDuktapeCompiler(memory_)) {}

SyntaxChecker::~SyntaxChecker() = default;

SyntaxVerdict SyntaxChecker::check(std::string_view text) {
  if (text.size() > limits_.maxTextBytes) {
    return {SyntaxVerdict::Kind::NotChecked,
            fmt::format("the text has {} bytes, more than the {} that are checked", text.size(),
                        sizeText(limits_.maxTextBytes)),
            0};
  }
  const std::optional<CompileFailure> failure = compiler_->compile(text);
  if (!failure) {
    return {};
  }
  switch (failure->kind) {
    case CompileFailure::Kind::Syntax: {
      // An engine that cannot decode the text names no line; the first byte
      // that is not UTF-8 is where it stopped.
      const int line = failure->line > 0 ? failure->line : firstInvalidUtf8Line(text);
      return {SyntaxVerdict::Kind::Invalid, failure->message, line};
    }
    case CompileFailure::Kind::Memory:
      return {SyntaxVerdict::Kind::NotChecked,
              fmt::format("the check needs more than its {} of memory",
                          sizeText(limits_.memoryBytes)),
              0};
    case CompileFailure::Kind::Limit:
      break;
  }
  return {SyntaxVerdict::Kind::NotChecked,
          failure->line > 0 ? fmt::format("{}, line {}", failure->message, failure->line)
                            : failure->message,
          0};
}

int firstInvalidUtf8Line(std::string_view text) {
  int line = 1;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length = utf8SequenceLength(text.substr(at));
    if (length == 0) {
      return line;
    }
    if (text[at] == '\n') {
      ++line;
    }
    at += length;
  }
  return 0;
}

}  // namespace talvoro
