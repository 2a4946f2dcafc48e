#pragma once
// The error a picture raises when libjpeg refuses its data. The number is
// libjpeg's own message code (J_MESSAGE_CODE), so a report can be looked up
// in libjpeg's message table.

#include "AppError.h"

namespace pnv {

class JpegError final : public AppError {
public:
    explicit JpegError(int messageCode);
    int messageCode() const noexcept { return m_code; }

private:
    int m_code;
};

} // namespace pnv
