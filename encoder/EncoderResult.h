#pragma once
// Result and status codes of the device library.

#include <cstdint>

namespace pnv {

enum TEncoderResult : std::uint8_t {
    erSuccess = 0,
    erLinkDown = 1,        // "Server Disconnect"
    erTimeOut = 2,
    erReceiveError = 3,
    erVerifyError = 4,
    erAlreadyConnected = 5,
};

} // namespace pnv
