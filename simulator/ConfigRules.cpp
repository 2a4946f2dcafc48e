#include "ConfigRules.h"

namespace pnv::sim {

int prefixLength(std::uint32_t mask)
{
    const std::uint32_t hostBits = ~mask;
    if ((hostBits & (hostBits + 1)) != 0)   // host bits must be all ones from the bottom up
        return -1;
    int prefix = 0;
    for (std::uint32_t m = mask; m & 0x80000000U; m <<= 1)
        ++prefix;
    return prefix;
}

std::string rejectionReason(const tessalin::NetworkConfig &config)
{
    const std::uint32_t mask = tessalin::toUint32(config.mask);
    const std::uint32_t address = tessalin::toUint32(config.address);
    const int prefix = prefixLength(mask);
    if (prefix < 0)
        return "subnet mask not contiguous";
    if (prefix == 0)
        return "subnet mask empty";
    const std::uint32_t first = address >> 24;
    if (first == 0)
        return "address in 0.0.0.0/8";
    if (first == 127)
        return "loopback address";
    if (first >= 224 && first <= 239)
        return "multicast address";
    if (first >= 240)
        return "reserved or broadcast address";
    // /31 and /32 have no network or broadcast address of their own.
    if (prefix <= 30) {
        const std::uint32_t host = address & ~mask;
        if (host == 0)
            return "network address of its subnet";
        if (host == ~mask)
            return "broadcast address of its subnet";
    }
    if (config.port == 0)
        return "port 0";
    return {};
}

} // namespace pnv::sim
