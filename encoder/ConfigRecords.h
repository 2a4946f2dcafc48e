#pragma once
// The configuration records exchanged with the device library, as the
// window's fields show them: texts in, bytes out, in the layout that
// ConfigFields.h defines.

#include "ConfigFields.h"

#include <QString>
#include <array>
#include <cstdint>

namespace pnv {

using ConfigRequestBytes = std::array<std::uint8_t, TESSALIN_CONFIG_REQUEST_SIZE>;

// The texts the window shows for a configuration reply.
struct TConfigReply {
    QString mac;        // "00 - 1A - 2B - 3C - 4D - 5E"
    QString encoderIp;  // dotted decimal, no leading zeros
    QString port;       // decimal
    QString gateway;
    QString subnetMask;

    // `bytes` must hold at least TESSALIN_CONFIG_REPLY_SIZE bytes; later bytes are ignored.
    static TConfigReply decode(const std::uint8_t *bytes);
};

// The four field texts a configuration request is built from.
struct TConfigRequest {
    QString encoderIp;
    QString port;
    QString gateway;
    QString subnetMask;

    // Converts in the order that decides which error is reported first: the
    // port, then the IP octets, the gateway octets, the mask octets. Throws
    // ConversionError on the first text that does not convert.
    ConfigRequestBytes encode() const;
};

// Splits a dotted text into four octet texts: a "." advances to the next
// octet, every other character is appended to the current one. Dots after
// the third are kept as characters of the fourth octet, so a text with a
// pasted "." makes that octet fail its conversion and the write is refused
// with the error box, rather than writing an address the user did not see.
std::array<QString, 4> splitDottedText(const QString &text);

QString formatMacText(const std::uint8_t *mac6);
QString formatDottedAddress(const std::uint8_t *octets4);

} // namespace pnv
