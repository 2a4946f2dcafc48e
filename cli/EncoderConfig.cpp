#include "EncoderConfig.h"

#include <cstring>

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

} // namespace pnv::ctl
