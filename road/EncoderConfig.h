#pragma once
// An encoder's configuration as numbers, straight from the reply's bytes, and
// the request bytes a complete configuration gives: text appears only where
// a person or a file reads it (toJson, the front ends).

#include "AddressRules.h"
#include "ConfigFields.h"
#include "ConfigRecords.h"

#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace pnv::road {

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
    // One key of the field table each; numbers as JSON numbers.
    QJsonObject toJson() const;
};

// The request a complete configuration gives, with the fixed auxiliary address.
pnv::ConfigRequestBytes requestFor(const net::PlannedConfig &complete);
// The configuration a request would leave the encoder with.
net::PlannedConfig plannedOf(const pnv::ConfigRequestBytes &request);

// The key of a field (its option, JSON, file and plan key), and back.
QString fieldKey(ConfigField field);
std::optional<ConfigField> fieldOfKey(QStringView key);
// Where the text of a writable field stands among texts given per field;
// null for the MAC, which is never written.
QString *fieldText(net::FieldTexts &texts, ConfigField field);

// "00:1A:2B:3C:4D:5E", the form every report and file gives a MAC.
QString macText(const std::array<std::uint8_t, 6> &mac);
// Six hexadecimal pairs joined by ":", either case; nothing for any other text.
std::optional<std::array<std::uint8_t, 6>> parseMacText(QStringView text);

} // namespace pnv::road
