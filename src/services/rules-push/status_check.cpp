#include "status_check.h"

#include <fmt/format.h>

namespace talvoro::push {

Outcome checkVerdict(std::uint32_t crc, std::optional<std::uint32_t> status) {
  if (!status) {
    return {kWouldBeSent, "no status"};
  }
  if (*status != crc) {
    return {kWouldBeSent, fmt::format("the status carries the CRC {}", *status)};
  }
  return {kInPlace, {}};
}

int checkExitStatus(const std::map<std::string, std::size_t>& counts) {
  if (counts.count(kNoResult) != 0) {
    return 3;
  }
  return counts.count(kWouldBeSent) != 0 ? 4 : 0;
}

}  // namespace talvoro::push
