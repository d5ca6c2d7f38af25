#include "talvoro/mqtt_text.h"

#include <cstddef>
#include <cstdint>

namespace talvoro::protocol {
namespace {

bool isControl(std::uint32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

bool isNonCharacter(std::uint32_t code) {
  return (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFEu) == 0xFFFEu;
}

}  // namespace

// As mosquitto checks every string of a packet: well-formed UTF-8 (no
// overlong forms, surrogates or code points above U+10FFFF), and neither
// control characters nor non-characters.
MqttTextFault mqttTextFault(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    }
    if (length == 0 || i + length > text.size()) {
      return MqttTextFault::Malformed;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0u) != 0x80u) {
        return MqttTextFault::Malformed;
      }
      code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      return MqttTextFault::Malformed;
    }
    if (isControl(code) || isNonCharacter(code)) {
      return MqttTextFault::Refused;
    }
    i += length;
  }
  return MqttTextFault::None;
}

}  // namespace talvoro::protocol
