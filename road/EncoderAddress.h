#pragma once
// Where an encoder is reached: ADDRESS[:PORT], as --encoder, a plan's rows
// and doctor take it.

#include <QString>

#include <cstdint>
#include <optional>

namespace pnv::road {

struct EncoderAddress {
    QString host;
    std::uint16_t port = 3001;
    QString text() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};
// ADDRESS[:PORT]; nothing on a syntax error.
std::optional<EncoderAddress> parseEncoderAddress(const QString &text);

} // namespace pnv::road
