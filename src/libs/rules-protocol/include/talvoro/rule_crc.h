#pragma once
// The CRC-32 that a rule's status carries: zlib's CRC-32 (as in Ethernet and
// PNG) of the rule payload exactly as received, 0 for an empty payload.

#include <zlib.h>

#include <cstdint>
#include <string_view>

namespace talvoro::protocol {

inline std::uint32_t ruleCrc(std::string_view payload) {
  return static_cast<std::uint32_t>(
      ::crc32_z(0, reinterpret_cast<const Bytef*>(payload.data()), payload.size()));
}

}  // namespace talvoro::protocol
