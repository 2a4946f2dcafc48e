#include "EncoderLink.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstring>

namespace pnv {

WriteAnswer WriteResult::answer() const
{
    using Kind = TessalinLibrary::Failure::Kind;
    if (bridge == Kind::Hung)
        return WriteAnswer::Hung;
    if (bridge == Kind::Host)
        return WriteAnswer::NotSent;
    if (!hasStatus())
        return WriteAnswer::Lost;
    // 1 to 3 are the library's own codes for the link: the request may have
    // left and been stored before the answer was lost.
    if (status >= TESSALIN_LINK_DOWN && status <= TESSALIN_RECEIVE_ERROR)
        return WriteAnswer::Lost;
    return status == TESSALIN_SUCCESS ? WriteAnswer::Acknowledged : WriteAnswer::Refused;
}

template <typename Call>
auto EncoderLink::logged(const QString &what, Call call)
{
    if (!m_log)
        return call();
    QElapsedTimer clock;
    clock.start();
    const auto result = call();
    m_log(what, static_cast<std::int32_t>(result), static_cast<double>(clock.nsecsElapsed()) / 1e6);
    return result;
}

std::int32_t EncoderLink::connect(const char *address16, std::int32_t port)
{
    return logged(QStringLiteral("S_Connect(\"%1\", %2, %3)")
                      .arg(QString::fromLatin1(address16, qsizetype(strnlen(address16, TESSALIN_ADDRESS_BUFFER_SIZE))))
                      .arg(TESSALIN_CONNECT_MODE)
                      .arg(port),
                  [&] { return m_api.S_Connect(address16, TESSALIN_CONNECT_MODE, port); });
}

ReadAnswer EncoderLink::read()
{
    ReadAnswer answer;
    answer.count = logged(QStringLiteral("ConfigRead(buffer, %1)").arg(TESSALIN_CONFIG_BUFFER_SIZE),
                          [&] { return m_api.ConfigRead(answer.buffer.data(), TESSALIN_CONFIG_BUFFER_SIZE); });
    return answer;
}

WriteResult EncoderLink::write(const ConfigRequestBytes &request)
{
    std::array<std::uint8_t, TESSALIN_CONFIG_BUFFER_SIZE> buffer{};
    std::copy(request.begin(), request.end(), buffer.begin());
    WriteResult result;
    result.count = logged(QStringLiteral("ConfigWrite(buffer, %1)").arg(TESSALIN_CONFIG_BUFFER_SIZE),
                          [&] { return m_api.ConfigWrite(buffer.data(), TESSALIN_CONFIG_BUFFER_SIZE); });
    result.status = buffer[0];
    const TessalinLibrary::Failure failure = TessalinLibrary::lastFailure();
    result.bridge = failure.kind;
    result.bridgeText = failure.text;
    return result;
}

void EncoderLink::disconnect()
{
    logged(QStringLiteral("S_Disconnect()"), [&] {
        m_api.S_Disconnect();
        return 0;
    });
}

void EncoderLink::closeLibrary()
{
    logged(QStringLiteral("DLLClose()"), [&] {
        m_api.DLLClose();
        return 0;
    });
}

} // namespace pnv
