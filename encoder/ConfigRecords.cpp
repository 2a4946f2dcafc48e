#include "ConfigRecords.h"

#include "ConfigFields.h"
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
    const auto at = [bytes](ConfigField field) { return bytes + fieldDefinition(field).replyOffset; };
    TConfigReply reply;
    reply.mac = formatMacText(at(ConfigField::Mac));
    reply.encoderIp = formatDottedAddress(at(ConfigField::Ip));
    reply.port = QString::number(portAt(bytes, fieldDefinition(ConfigField::Port).replyOffset));
    reply.gateway = formatDottedAddress(at(ConfigField::Gateway));
    reply.subnetMask = formatDottedAddress(at(ConfigField::Mask));
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

std::size_t requestOffset(ConfigField field) { return static_cast<std::size_t>(fieldDefinition(field).requestOffset); }

} // namespace

ConfigRequestBytes TConfigRequest::encode() const
{
    const auto ipOctets = splitDottedText(encoderIp);
    const auto portValue = static_cast<std::uint16_t>(strToInt(port) & 0xFFFF);
    const auto gatewayOctets = splitDottedText(gateway);
    const auto maskOctets = splitDottedText(subnetMask);

    ConfigRequestBytes bytes{};
    putOctets(bytes.data() + requestOffset(ConfigField::Ip), ipOctets);
    putPort(bytes.data(), requestOffset(ConfigField::Port), portValue);
    std::copy(kAuxiliaryAddress.begin(), kAuxiliaryAddress.end(), bytes.begin() + kAuxiliaryRequestOffset);
    putPort(bytes.data(), kAuxiliaryPortRequestOffset, kAuxiliaryPort);
    putOctets(bytes.data() + requestOffset(ConfigField::Gateway), gatewayOctets);
    putOctets(bytes.data() + requestOffset(ConfigField::Mask), maskOctets);
    return bytes;
}

} // namespace pnv
