#include "rule_file_error.h"

#include <fmt/format.h>

namespace talvoro {

RuleFileError::RuleFileError(Stage stage, const std::string& operation,
                             const std::string& reason, int code)
    : std::runtime_error(fmt::format("{}: {}", operation, reason)),
      stage_(stage),
      reason_(reason),
      code_(code) {}

}  // namespace talvoro
