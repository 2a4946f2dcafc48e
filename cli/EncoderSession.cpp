#include "EncoderSession.h"

#include <QElapsedTimer>
#include <QJsonValue>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

namespace pnv::ctl {

QString describeCode(int code)
{
    const char *name = code == TESSALIN_SUCCESS           ? "success"
                       : code == TESSALIN_LINK_DOWN         ? "link down"
                       : code == TESSALIN_TIME_OUT          ? "time-out"
                       : code == TESSALIN_RECEIVE_ERROR     ? "receive error"
                       : code == TESSALIN_VERIFY_ERROR      ? "verify error"
                       : code == TESSALIN_ALREADY_CONNECTED ? "already connected"
                                                            : "status";
    // Through the Wine bridge, what it knows of the call (a crash, the DLL's
    // end, the hang guard) is the user's answer, not the bare code.
    const QString detail = code == TESSALIN_SUCCESS ? QString()
                                                    : QString::fromStdString(pnv::TessalinLibrary::lastFailure().text);
    return QStringLiteral("%1 (code %2)").arg(QLatin1String(name)).arg(code)
           + (detail.isEmpty() ? QString() : QStringLiteral(": ") + detail);
}

EncoderSession::EncoderSession(const pnv::TessalinApi &api, EncoderAddress encoder, bool verbose)
    : m_api(api), m_encoder(std::move(encoder)), m_verbose(verbose)
{
}

EncoderSession::~EncoderSession() { disconnect(); }

template <typename Call>
auto EncoderSession::logged(const QString &what, Call call)
{
    QElapsedTimer clock;
    clock.start();
    const auto result = call();
    if (m_verbose)
        std::fprintf(stderr, "pnv3400ctl: %s: %s -> %d (%.1f ms)\n", qPrintable(m_encoder.text()), qPrintable(what),
                     static_cast<int>(result), static_cast<double>(clock.nsecsElapsed()) / 1e6);
    return result;
}

int EncoderSession::connect()
{
    // The library takes the address in a 16-byte buffer, NUL-terminated.
    char address[TESSALIN_ADDRESS_BUFFER_SIZE] = {};
    const QByteArray host = m_encoder.host.toLatin1();
    std::memcpy(address, host.constData(), std::min<std::size_t>(host.size(), sizeof address - 1));
    const int code = logged(QStringLiteral("S_Connect(\"%1\", %2, %3)").arg(m_encoder.host).arg(TESSALIN_CONNECT_MODE).arg(m_encoder.port), [&] {
        return m_api.S_Connect(address, TESSALIN_CONNECT_MODE, m_encoder.port) & 0xFF;
    });
    m_connected = code == TESSALIN_SUCCESS;
    return code;
}

EncoderSession::ReadResult EncoderSession::read()
{
    std::vector<std::uint8_t> buffer(TESSALIN_CONFIG_BUFFER_SIZE, 0);
    const int n = logged(QStringLiteral("ConfigRead(buffer, 500)"), [&] {
        return m_api.ConfigRead(buffer.data(), TESSALIN_CONFIG_BUFFER_SIZE);
    });
    ReadResult result;
    if (n == 1)
        // A success without its record is a receive error.
        result.code = buffer[0] == TESSALIN_SUCCESS ? TESSALIN_RECEIVE_ERROR : buffer[0];
    else if (n < TESSALIN_CONFIG_REPLY_SIZE)
        result.code = TESSALIN_RECEIVE_ERROR;
    else
        result.config = EncoderConfig::fromReply(buffer.data());
    return result;
}

std::optional<int> EncoderSession::write(const pnv::ConfigRequestBytes &request)
{
    std::vector<std::uint8_t> buffer(TESSALIN_CONFIG_BUFFER_SIZE, 0);
    std::copy(request.begin(), request.end(), buffer.begin());
    const int n = logged(QStringLiteral("ConfigWrite(buffer, 500)"), [&] {
        return m_api.ConfigWrite(buffer.data(), TESSALIN_CONFIG_BUFFER_SIZE);
    });
    if (n != 1)
        return std::nullopt;
    if (m_verbose)
        std::fprintf(stderr, "pnv3400ctl: %s: write status %d\n", qPrintable(m_encoder.text()), buffer[0]);
    return buffer[0];
}

void EncoderSession::disconnect()
{
    if (!m_connected)
        return;
    m_connected = false;
    logged(QStringLiteral("S_Disconnect()"), [&] {
        m_api.S_Disconnect();
        return 0;
    });
}

} // namespace pnv::ctl
