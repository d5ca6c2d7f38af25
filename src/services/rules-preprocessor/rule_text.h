#pragma once
// A rule text as the service reads it: its placeholders translated against
// an IO structure, and the timestamp line among its first lines.

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "talvoro/io_structure.h"

namespace talvoro {

// A placeholder that the IO structure cannot resolve. what() is the
// service's traditional "Parse error!"; key() names the element asked for.
class UnresolvedPlaceholder : public std::runtime_error {
 public:
  explicit UnresolvedPlaceholder(std::string key)
      : std::runtime_error("Parse error!"), key_(std::move(key)) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// Replaces every DEVICE_NAME(key), VIRTUAL_DEVICE_NAME(key), PORT_NAME(key)
// and CELL_NAME(key) in `text` by the element's value in `structure`; the
// rest of the text stays byte for byte. Throws UnresolvedPlaceholder when one
// of them cannot be resolved. With `emptyPlaceholders`, each placeholder that
// resolved to an empty name or to the default of a member the element lacks
// is named there once ("PORT_NAME(fan2) is 0: the element has no \"port\"").
std::string translate(std::string text, const IoStructure& structure,
                      std::vector<std::string>* emptyPlaceholders = nullptr);

// The rule timestamp: the number of the first of the first ten lines that is
// a timestamp comment ("// 1733550000": "//", ten or more digits, blanks
// around them and nothing else), 0 when none of them is.
long long extractEpochTsOrZero(const std::string& text);

}  // namespace talvoro
