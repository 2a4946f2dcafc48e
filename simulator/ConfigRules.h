#pragma once
// The checks the encoder's firmware makes before it stores a configuration.

#include "NetworkConfig.h"

#include <string>

namespace pnv::sim {

// Empty when the configuration may be stored; otherwise why not, in a few words.
std::string rejectionReason(const tessalin::NetworkConfig &config);

// The prefix length of a contiguous mask (0 to 32), or -1.
int prefixLength(std::uint32_t mask);

} // namespace pnv::sim
