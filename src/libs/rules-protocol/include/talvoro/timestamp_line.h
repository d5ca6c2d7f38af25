#pragma once
// The timestamp line of a rule text: the first of its first ten lines that
// reads "//" and ten or more digits, with blanks around them and nothing else.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace talvoro::protocol {

struct TimestampLine {
  std::size_t offset;  // of the digits in the text
  std::size_t length;  // of the digits
  long long seconds;   // since the Unix epoch
};

// The timestamp line of `text`, nothing when it has none. Lines longer than
// 1 KiB, and numbers beyond a signed 64-bit integer, are no timestamp line;
// a later line may still be one.
std::optional<TimestampLine> findTimestampLine(std::string_view text);

// `text` with the digits of its timestamp line replaced by `seconds`, so that
// the service takes it as written then; `text` unchanged when it has no
// timestamp line (the service takes such a text as written when it arrives).
std::string restamped(std::string_view text, long long seconds);

}  // namespace talvoro::protocol
