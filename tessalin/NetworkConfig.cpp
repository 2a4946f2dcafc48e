#include "NetworkConfig.h"

#include <algorithm>

namespace tessalin {

NetworkConfig NetworkConfig::factory(const MacAddress &mac)
{
    NetworkConfig config;
    config.mac = mac;
    config.address = {172, 16, 30, 1};
    config.port = 3001;
    config.auxAddress = {172, 16, 0, 1};
    config.auxPort = 700;
    config.gateway = {172, 16, 0, 1};
    config.mask = {255, 255, 0, 0};
    return config;
}

std::array<std::uint8_t, TESSALIN_CONFIG_REQUEST_SIZE> NetworkConfig::requestBytes() const
{
    std::array<std::uint8_t, TESSALIN_CONFIG_REQUEST_SIZE> bytes{};
    auto out = std::copy(address.begin(), address.end(), bytes.begin());
    *out++ = static_cast<std::uint8_t>(port >> 8);
    *out++ = static_cast<std::uint8_t>(port);
    out = std::copy(auxAddress.begin(), auxAddress.end(), out);
    *out++ = static_cast<std::uint8_t>(auxPort >> 8);
    *out++ = static_cast<std::uint8_t>(auxPort);
    out = std::copy(gateway.begin(), gateway.end(), out);
    std::copy(mask.begin(), mask.end(), out);
    return bytes;
}

std::array<std::uint8_t, TESSALIN_CONFIG_REPLY_SIZE> NetworkConfig::replyBytes() const
{
    std::array<std::uint8_t, TESSALIN_CONFIG_REPLY_SIZE> bytes{};
    const auto request = requestBytes();
    std::copy(request.begin(), request.end(), std::copy(mac.begin(), mac.end(), bytes.begin()));
    return bytes;
}

void NetworkConfig::assignRequest(const std::uint8_t *request20)
{
    std::copy_n(request20, 4, address.begin());
    port = static_cast<std::uint16_t>((request20[4] << 8) | request20[5]);
    std::copy_n(request20 + 6, 4, auxAddress.begin());
    auxPort = static_cast<std::uint16_t>((request20[10] << 8) | request20[11]);
    std::copy_n(request20 + 12, 4, gateway.begin());
    std::copy_n(request20 + 16, 4, mask.begin());
}

bool NetworkConfig::operator==(const NetworkConfig &other) const
{
    return mac == other.mac && replyBytes() == other.replyBytes();
}

std::uint32_t toUint32(const Octets4 &octets)
{
    return (std::uint32_t{octets[0]} << 24) | (std::uint32_t{octets[1]} << 16) | (std::uint32_t{octets[2]} << 8)
           | octets[3];
}

} // namespace tessalin
