#pragma once
// The address text S_Connect receives: dotted IPv4 in a 16-byte buffer.

#include "tessalin_codes.h"

#include <cstdint>
#include <optional>

namespace tessalin {


// The address in host byte order, or nothing when the first 16 bytes hold no
// NUL-terminated "a.b.c.d" of decimal numbers 0 to 255 (1 to 3 digits each;
// leading zeros count as decimal, as the window shows them), or when the
// address cannot name one encoder: 0.0.0.0/8, broadcast, multicast, reserved.
// Never reads past the 16th byte.
std::optional<std::uint32_t> parseEncoderAddress(const char *buffer16);

} // namespace tessalin
