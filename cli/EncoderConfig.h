#pragma once
// An encoder's configuration as its reply gives it, and the request that
// writes one.

#include "AddressRules.h"
#include "ConfigRecords.h"

#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>

namespace pnv::ctl {

// What an encoder holds, as its configuration reply gives it.
struct EncoderConfig {
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    std::uint32_t gateway = 0;
    std::uint32_t mask = 0;
    // Reply bytes 6 to 25: the request layout, auxiliary address included, so
    // "already holds it" compares everything a write would send.
    pnv::ConfigRequestBytes record{};

    static EncoderConfig fromReply(const std::uint8_t *reply26);
    net::PlannedConfig planned() const;
    QString macText() const;   // 00:1A:2B:3C:4D:5E
    // mac, ip, port, gateway, mask; numbers as JSON numbers.
    QJsonObject toJson() const;
};

// The request a complete configuration gives, with the fixed auxiliary address.
pnv::ConfigRequestBytes requestFor(const net::PlannedConfig &complete);

} // namespace pnv::ctl
