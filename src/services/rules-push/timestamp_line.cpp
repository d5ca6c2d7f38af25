#include "timestamp_line.h"

#include "talvoro/timestamp_line.h"

namespace talvoro::push {

std::string restamped(const std::string& text, long long seconds) {
  const auto line = protocol::findTimestampLine(text);
  if (!line) {
    return text;
  }
  std::string result = text;
  result.replace(line->offset, line->length, std::to_string(seconds));
  return result;
}

}  // namespace talvoro::push
