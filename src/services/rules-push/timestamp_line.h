#pragma once
// The timestamp line of a rule text, as the service reads it: the first of
// the first ten lines that is "//" and ten or more digits (blanks around).

#include <string>

namespace talvoro::push {

// `text` with the digits of its timestamp line replaced by `seconds`, so that
// the service takes it as written then; `text` unchanged when it has no
// timestamp line (the service takes such a text as written when it arrives).
std::string restamped(const std::string& text, long long seconds);

}  // namespace talvoro::push
