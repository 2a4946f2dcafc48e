#include "EncoderSession.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pnv::road {

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
    : m_link(api), m_encoder(std::move(encoder)), m_verbose(verbose)
{
    if (m_verbose)
        m_link.setCallLog([this](const QString &call, std::int32_t result, double ms) {
            std::fprintf(stderr, "%s: %s: %s -> %d (%.1f ms)\n", qPrintable(QCoreApplication::applicationName()),
                         qPrintable(m_encoder.text()), qPrintable(call), result, ms);
        });
}

EncoderSession::~EncoderSession() { disconnect(); }

int EncoderSession::connect()
{
    // The library takes the address in a 16-byte buffer, NUL-terminated.
    char address[TESSALIN_ADDRESS_BUFFER_SIZE] = {};
    const QByteArray host = m_encoder.host.toLatin1();
    std::memcpy(address, host.constData(), std::min<std::size_t>(std::size_t(host.size()), sizeof address - 1));
    const int code = m_link.connect(address, m_encoder.port) & 0xFF;
    m_connected = code == TESSALIN_SUCCESS;
    return code;
}

EncoderSession::ReadResult EncoderSession::read()
{
    const pnv::ReadAnswer answer = m_link.read();
    ReadResult result;
    if (answer.hasStatus())
        // A success without its record is a receive error.
        result.code = answer.status() == TESSALIN_SUCCESS ? TESSALIN_RECEIVE_ERROR : answer.status();
    else if (!answer.hasReply())
        result.code = TESSALIN_RECEIVE_ERROR;
    else
        result.config = EncoderConfig::fromReply(answer.buffer.data());
    return result;
}

pnv::WriteResult EncoderSession::write(const pnv::ConfigRequestBytes &request)
{
    const pnv::WriteResult result = m_link.write(request);
    if (m_verbose && result.hasStatus())
        std::fprintf(stderr, "%s: %s: write status %d\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(m_encoder.text()), result.status);
    return result;
}

void EncoderSession::disconnect()
{
    if (!m_connected)
        return;
    m_connected = false;
    m_link.disconnect();
}

} // namespace pnv::road
