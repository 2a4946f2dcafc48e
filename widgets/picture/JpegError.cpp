#include "JpegError.h"

namespace pnv {

JpegError::JpegError(int messageCode)
    : AppError(QStringLiteral("JPEG error #%1").arg(messageCode)), m_code(messageCode)
{
}

} // namespace pnv
