#pragma once
// The decisions of the dry run (--check): whether a rule is in place, judged
// by the retained status the service published for it, and the exit status.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "deployment.h"

namespace talvoro::push {

inline const std::string kInPlace = "in place";
inline const std::string kWouldBeSent = "would be sent";

// "in place" when `status` (the CRC-32 in the rule's status, none when it
// has none) is `crc`, the CRC-32 of the text to deploy; else "would be sent"
// with the reason.
Outcome checkVerdict(std::uint32_t crc, std::optional<std::uint32_t> status);

// 0 when every rule is in place, 4 when one would be sent, 3 when the status
// of one could not be read; `counts` as Deployment::counts gives them.
int checkExitStatus(const std::map<std::string, std::size_t>& counts);

}  // namespace talvoro::push
