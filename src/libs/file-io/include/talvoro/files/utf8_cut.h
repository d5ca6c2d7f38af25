#pragma once
// Cutting text short without splitting a UTF-8 sequence, for records and
// messages that show an excerpt of arbitrary input.

#include <cstddef>
#include <string_view>

namespace talvoro::files {

// The length of the longest start of `text` of at most `limit` bytes that
// ends before a character, never inside one: `text.size()` when it fits.
inline std::size_t utf8CutLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    return text.size();
  }
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return cut;
}

}  // namespace talvoro::files
