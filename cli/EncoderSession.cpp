#include "EncoderSession.h"

#include <QElapsedTimer>
#include <QJsonValue>

#include <cstdio>
#include <cstring>
#include <vector>

namespace pnv::ctl {

EncoderConfig EncoderConfig::fromReply(const std::uint8_t *reply26)
{
    // The records' own decoding gives the texts the window shows; the rules
    // work on numbers, and those texts are always well formed.
    const pnv::TConfigReply texts = pnv::TConfigReply::decode(reply26);
    EncoderConfig config;
    std::memcpy(config.mac.data(), reply26, config.mac.size());
    config.ip = net::parseDotted(texts.encoderIp).value_or(0);
    config.port = net::parsePort(texts.port).value_or(0);
    config.gateway = net::parseDotted(texts.gateway).value_or(0);
    config.mask = net::parseDotted(texts.subnetMask).value_or(0);
    std::memcpy(config.record.data(), reply26 + 6, config.record.size());
    return config;
}

net::PlannedConfig EncoderConfig::planned() const { return {ip, port, gateway, mask}; }

QString EncoderConfig::macText() const
{
    return pnv::formatMacText(mac.data()).replace(QStringLiteral(" - "), QStringLiteral(":"));
}

QJsonObject EncoderConfig::toJson() const
{
    return {{QStringLiteral("mac"), macText()},
            {QStringLiteral("ip"), net::formatDotted(ip)},
            {QStringLiteral("port"), port},
            {QStringLiteral("gateway"), net::formatDotted(gateway)},
            {QStringLiteral("mask"), net::formatDotted(mask)}};
}

pnv::ConfigRequestBytes requestFor(const net::PlannedConfig &complete)
{
    pnv::TConfigRequest request;
    request.encoderIp = net::formatDotted(complete.ip.value_or(0));
    request.port = QString::number(complete.port.value_or(0));
    request.gateway = net::formatDotted(complete.gateway.value_or(0));
    request.subnetMask = net::formatDotted(complete.mask.value_or(0));
    return request.encode();
}

QString describeCode(int code)
{
    const char *name = code == TESSALIN_SUCCESS           ? "success"
                       : code == TESSALIN_LINK_DOWN         ? "link down"
                       : code == TESSALIN_TIME_OUT          ? "time-out"
                       : code == TESSALIN_RECEIVE_ERROR     ? "receive error"
                       : code == TESSALIN_VERIFY_ERROR      ? "verify error"
                       : code == TESSALIN_ALREADY_CONNECTED ? "already connected"
                                                            : "status";
    return QStringLiteral("%1 (code %2)").arg(QLatin1String(name)).arg(code);
}

std::optional<EncoderAddress> parseEncoderAddress(const QString &text)
{
    const qsizetype colon = text.indexOf(u':');
    EncoderAddress address;
    address.host = colon < 0 ? text : text.left(colon);
    if (!net::parseDotted(address.host))
        return std::nullopt;
    if (colon >= 0) {
        const auto port = net::parsePort(QStringView(text).mid(colon + 1));
        if (!port || *port == 0)
            return std::nullopt;
        address.port = *port;
    }
    return address;
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
