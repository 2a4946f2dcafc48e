#pragma once
// The encoder's network configuration and its two byte layouts: the 20-byte
// configuration request and the 26-byte configuration reply (the MAC address
// followed by the request layout). Multi-byte numbers are big-endian.

#include "tessalin_codes.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessalin {


using Octets4 = std::array<std::uint8_t, 4>;
using MacAddress = std::array<std::uint8_t, 6>;

struct NetworkConfig {
    MacAddress mac{};
    Octets4 address{};
    std::uint16_t port = 0;
    Octets4 auxAddress{};
    std::uint16_t auxPort = 0;
    Octets4 gateway{};
    Octets4 mask{};

    // The settings a DIP-switch reset restores; the MAC is the caller's.
    static NetworkConfig factory(const MacAddress &mac);

    std::array<std::uint8_t, TESSALIN_CONFIG_REQUEST_SIZE> requestBytes() const;
    std::array<std::uint8_t, TESSALIN_CONFIG_REPLY_SIZE> replyBytes() const;
    // Takes everything but the MAC from a 20-byte request.
    void assignRequest(const std::uint8_t *request20);

    bool operator==(const NetworkConfig &other) const;
    bool operator!=(const NetworkConfig &other) const { return !(*this == other); }
};

std::uint32_t toUint32(const Octets4 &octets);

} // namespace tessalin
