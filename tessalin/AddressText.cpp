#include "AddressText.h"

namespace tessalin {

std::optional<std::uint32_t> parseEncoderAddress(const char *buffer16)
{
    if (!buffer16)
        return std::nullopt;
    std::uint32_t address = 0;
    int octets = 0;
    int digits = 0;
    unsigned value = 0;
    for (int i = 0; i < TESSALIN_ADDRESS_BUFFER_SIZE; ++i) {
        const char c = buffer16[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 3)
                return std::nullopt;
            value = value * 10 + static_cast<unsigned>(c - '0');
            continue;
        }
        if (c != '.' && c != '\0')
            return std::nullopt;
        if (digits == 0 || value > 255 || octets == 4)
            return std::nullopt;
        address = (address << 8) | value;
        ++octets;
        digits = 0;
        value = 0;
        if (c == '\0') {
            if (octets != 4)
                return std::nullopt;
            const std::uint32_t first = address >> 24;
            // 0.0.0.0/8 means "this network": no encoder lives there, and a
            // kernel may still send the attempt to the default gateway.
            if (first == 0 || address == 0xFFFFFFFFU || first >= 224)
                return std::nullopt;
            return address;
        }
    }
    return std::nullopt;   // no NUL within the buffer
}

} // namespace tessalin
