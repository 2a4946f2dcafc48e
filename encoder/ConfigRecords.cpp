#include "ConfigRecords.h"

#include "IntConversion.h"

#include <QStringList>

namespace pnv {

QString formatMacText(const std::uint8_t *mac6)
{
    QStringList parts;
    for (int i = 0; i < 6; ++i)
        parts << QStringLiteral("%1").arg(mac6[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QStringLiteral(" - "));
}

QString formatDottedAddress(const std::uint8_t *octets4)
{
    return QStringLiteral("%1.%2.%3.%4").arg(octets4[0]).arg(octets4[1]).arg(octets4[2]).arg(octets4[3]);
}

TConfigReply TConfigReply::decode(const std::uint8_t *bytes)
{
    TConfigReply reply;
    reply.mac = formatMacText(bytes);
    reply.encoderIp = formatDottedAddress(bytes + 6);
    reply.port = QString::number(bytes[10] * 256 + bytes[11]);
    reply.gateway = formatDottedAddress(bytes + 18);
    reply.subnetMask = formatDottedAddress(bytes + 22);
    return reply;
}

std::array<QString, 4> splitDottedText(const QString &text)
{
    std::array<QString, 4> octets;
    std::size_t index = 0;
    for (QChar c : text) {
        if (c == u'.' && index < octets.size() - 1)
            ++index;
        else
            octets[index].append(c);
    }
    return octets;
}

namespace {

// Octets are stored as the low 8 bits of their value.
void putOctets(std::uint8_t *out, const std::array<QString, 4> &octets)
{
    for (std::size_t i = 0; i < octets.size(); ++i)
        out[i] = static_cast<std::uint8_t>(strToInt(octets[i]) & 0xFF);
}

void putPort(std::uint8_t *out, std::uint16_t port)
{
    out[0] = static_cast<std::uint8_t>(port >> 8);
    out[1] = static_cast<std::uint8_t>(port & 0xFF);
}

} // namespace

ConfigRequestBytes TConfigRequest::encode() const
{
    const auto ipOctets = splitDottedText(encoderIp);
    const auto portValue = static_cast<std::uint16_t>(strToInt(port) & 0xFFFF);
    const auto gatewayOctets = splitDottedText(gateway);
    const auto maskOctets = splitDottedText(subnetMask);

    ConfigRequestBytes bytes{};
    putOctets(bytes.data() + 0, ipOctets);
    putPort(bytes.data() + 4, portValue);
    std::copy(kAuxiliaryAddress.begin(), kAuxiliaryAddress.end(), bytes.begin() + 6);
    putPort(bytes.data() + 10, kAuxiliaryPort);
    putOctets(bytes.data() + 12, gatewayOctets);
    putOctets(bytes.data() + 16, maskOctets);
    return bytes;
}

} // namespace pnv
