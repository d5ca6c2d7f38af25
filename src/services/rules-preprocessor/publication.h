#pragma once
// The messages the service publishes, as data: the units decide them, the
// receive loop sends them.

#include <string>

#include <nlohmann/json.hpp>

namespace talvoro {

struct Publication {
  enum class Kind {
    Status,  // a rule's CRC, retained: the compatible acknowledgement
    Result,  // the outcome of a message, for its publisher
  };
  Kind kind;
  std::string rule;  // the rule a status is of
  std::string topic;
  std::string payload;
};

// Names and reasons are arbitrary bytes; the JSON text gets U+FFFD in place
// of whatever is not UTF-8.
inline std::string jsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace talvoro
