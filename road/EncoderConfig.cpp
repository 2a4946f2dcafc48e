#include "EncoderConfig.h"

#include <cstring>

namespace pnv::road {
namespace {

std::size_t requestOffset(ConfigField field) { return static_cast<std::size_t>(fieldDefinition(field).requestOffset); }

} // namespace

EncoderConfig EncoderConfig::fromReply(const std::uint8_t *reply26)
{
    EncoderConfig config;
    std::memcpy(config.mac.data(), reply26 + fieldDefinition(ConfigField::Mac).replyOffset, config.mac.size());
    std::memcpy(config.record.data(), reply26 + (TESSALIN_CONFIG_REPLY_SIZE - TESSALIN_CONFIG_REQUEST_SIZE),
                config.record.size());
    const net::PlannedConfig held = plannedOf(config.record);
    config.ip = *held.ip;
    config.port = *held.port;
    config.gateway = *held.gateway;
    config.mask = *held.mask;
    return config;
}

net::PlannedConfig EncoderConfig::planned() const { return {ip, port, gateway, mask}; }

QString fieldKey(ConfigField field) { return QLatin1String(fieldDefinition(field).key); }

std::optional<ConfigField> fieldOfKey(QStringView key)
{
    for (const FieldDefinition &definition : kConfigFields)
        if (key == QLatin1String(definition.key))
            return definition.field;
    return std::nullopt;
}

QString *fieldText(net::FieldTexts &texts, ConfigField field)
{
    switch (field) {
    case ConfigField::Ip: return &texts.ip;
    case ConfigField::Port: return &texts.port;
    case ConfigField::Gateway: return &texts.gateway;
    case ConfigField::Mask: return &texts.mask;
    case ConfigField::Mac: break;
    }
    return nullptr;
}

QString macText(const std::array<std::uint8_t, 6> &mac)
{
    return pnv::formatMacText(mac.data()).replace(QStringLiteral(" - "), QStringLiteral(":"));
}

std::optional<std::array<std::uint8_t, 6>> parseMacText(QStringView text)
{
    const QList<QStringView> pairs = text.split(u':');
    if (pairs.size() != 6)
        return std::nullopt;
    std::array<std::uint8_t, 6> mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const QStringView pair = pairs[qsizetype(i)];
        bool ok = pair.size() == 2;
        for (const QChar c : pair)
            ok = ok && ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'));
        if (!ok)
            return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(pair.toUInt(nullptr, 16));
    }
    return mac;
}

QString EncoderConfig::macText() const { return road::macText(mac); }

QJsonObject EncoderConfig::toJson() const
{
    QJsonObject object;
    for (const FieldDefinition &field : kConfigFields) {
        const QString key = QLatin1String(field.key);
        switch (field.field) {
        case ConfigField::Mac: object[key] = macText(); break;
        case ConfigField::Ip: object[key] = net::formatDotted(ip); break;
        case ConfigField::Port: object[key] = port; break;
        case ConfigField::Gateway: object[key] = net::formatDotted(gateway); break;
        case ConfigField::Mask: object[key] = net::formatDotted(mask); break;
        }
    }
    return object;
}

pnv::ConfigRequestBytes requestFor(const net::PlannedConfig &complete)
{
    pnv::ConfigRequestBytes bytes{};
    std::uint8_t *out = bytes.data();
    putAddress(out, requestOffset(ConfigField::Ip), complete.ip.value_or(0));
    putPort(out, requestOffset(ConfigField::Port), complete.port.value_or(0));
    std::copy(kAuxiliaryAddress.begin(), kAuxiliaryAddress.end(), bytes.begin() + kAuxiliaryRequestOffset);
    putPort(out, kAuxiliaryPortRequestOffset, kAuxiliaryPort);
    putAddress(out, requestOffset(ConfigField::Gateway), complete.gateway.value_or(0));
    putAddress(out, requestOffset(ConfigField::Mask), complete.mask.value_or(0));
    return bytes;
}

net::PlannedConfig plannedOf(const pnv::ConfigRequestBytes &request)
{
    const std::uint8_t *in = request.data();
    return {addressAt(in, requestOffset(ConfigField::Ip)), portAt(in, requestOffset(ConfigField::Port)),
            addressAt(in, requestOffset(ConfigField::Gateway)), addressAt(in, requestOffset(ConfigField::Mask))};
}

} // namespace pnv::road
