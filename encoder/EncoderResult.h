#pragma once
// Result and status codes of the device library.

#include "tessalin_codes.h"

#include <cstdint>

namespace pnv {

enum TEncoderResult : std::uint8_t {
    erSuccess = TESSALIN_SUCCESS,
    erLinkDown = TESSALIN_LINK_DOWN,   // "Server Disconnect"
    erTimeOut = TESSALIN_TIME_OUT,
    erReceiveError = TESSALIN_RECEIVE_ERROR,
    erVerifyError = TESSALIN_VERIFY_ERROR,
    erAlreadyConnected = TESSALIN_ALREADY_CONNECTED,
};

} // namespace pnv
