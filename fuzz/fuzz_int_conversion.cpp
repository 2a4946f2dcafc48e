// The one integer conversion every field text goes through, and the records
// built from those texts, on arbitrary UTF-16 text.
//
// Input: byte 0 picks what to check and how the rest becomes text (UTF-16
// code units, or one byte per character so that the fuzzer reaches digits
// and prefixes quickly).

#include "AppError.h"
#include "ConfigRecords.h"
#include "FuzzCheck.h"
#include "IntConversion.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>

namespace {

// A second reading of the rules in IntConversion.h, written apart from the
// code under test so that the two can disagree.
std::optional<std::int32_t> referenceStrToInt(QStringView text)
{
    std::u16string s(text.utf16(), static_cast<std::size_t>(text.size()));
    s = s.substr(0, s.find(u'\0'));
    const std::size_t start = s.find_first_not_of(u' ');
    if (start == std::u16string::npos)
        return std::nullopt;
    s = s.substr(start);

    auto digitValue = [](char16_t c, int base) -> int {
        int v = -1;
        if (c >= u'0' && c <= u'9')
            v = c - u'0';
        else if (c >= u'a' && c <= u'z')
            v = c - u'a' + 10;
        else if (c >= u'A' && c <= u'Z')
            v = c - u'A' + 10;
        return v < base ? v : -1;
    };
    auto significant = [&](std::u16string digits, int base) -> std::optional<std::u16string> {
        if (digits.empty())
            return std::nullopt;
        for (char16_t c : digits)
            if (digitValue(c, base) < 0)
                return std::nullopt;
        const std::size_t first = digits.find_first_not_of(u'0');
        return first == std::u16string::npos ? std::u16string() : digits.substr(first);
    };

    std::size_t hexFrom = 0;
    if (s.rfind(u"0x", 0) == 0 || s.rfind(u"0X", 0) == 0)
        hexFrom = 2;
    else if (s[0] == u'$' || s[0] == u'x' || s[0] == u'X')
        hexFrom = 1;
    if (hexFrom) {
        const auto digits = significant(s.substr(hexFrom), 16);
        if (!digits || digits->size() > 8)
            return std::nullopt;
        std::uint32_t value = 0;
        for (char16_t c : *digits)
            value = value * 16 + static_cast<std::uint32_t>(digitValue(c, 16));
        return static_cast<std::int32_t>(value);
    }
    const bool negative = s[0] == u'-';
    const auto digits = significant(s.substr(s[0] == u'-' || s[0] == u'+' ? 1 : 0), 10);
    if (!digits || digits->size() > 10)
        return std::nullopt;
    std::int64_t value = 0;
    for (char16_t c : *digits)
        value = value * 10 + digitValue(c, 10);
    if (negative)
        value = -value;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// Both forms must give the same verdict, the throwing one naming the text.
std::optional<std::int32_t> convertBothWays(const QString &text)
{
    const std::optional<std::int32_t> quiet = pnv::tryStrToInt(text);
    try {
        const std::int32_t loud = pnv::strToInt(text);
        FUZZ_CHECK(quiet && *quiet == loud);
    } catch (const pnv::ConversionError &error) {
        FUZZ_CHECK(!quiet);
        FUZZ_CHECK(error.offendingText() == text);
        FUZZ_CHECK(!error.message().isEmpty());
    }
    return quiet;
}

void checkInteger(const QString &text)
{
    const std::optional<std::int32_t> value = convertBothWays(text);
    FUZZ_CHECK(value == referenceStrToInt(text));
    if (!value)
        return;

    // The same value written the ways a user or the window writes it.
    const auto bits = static_cast<std::uint32_t>(*value);
    FUZZ_CHECK(pnv::tryStrToInt(QString::number(*value)) == value);
    FUZZ_CHECK(pnv::tryStrToInt(QStringLiteral("+") + QString::number(*value)) == value || *value < 0);
    FUZZ_CHECK(pnv::tryStrToInt(QStringLiteral("$") + QString::number(bits, 16)) == value);
    FUZZ_CHECK(pnv::tryStrToInt(QStringLiteral("0X") + QString::number(bits, 16).toUpper()) == value);
    FUZZ_CHECK(pnv::tryStrToInt(QStringLiteral("  ") + text) == value);
    FUZZ_CHECK(!pnv::tryStrToInt(text + QLatin1Char(' ')) || text.contains(QChar(u'\0')));
    FUZZ_CHECK(pnv::tryStrToInt(text + QChar(u'\0') + QStringLiteral("junk")) == value);
}

void checkRequest(const QString &joined)
{
    const QStringList parts = joined.split(QLatin1Char('|'));
    pnv::TConfigRequest request;
    request.encoderIp = parts.value(0);
    request.port = parts.value(1);
    request.gateway = parts.value(2);
    request.subnetMask = parts.value(3);

    // The first text that fails, in the order the window reports them.
    std::optional<QString> firstFailure;
    auto note = [&](const QString &text) {
        if (!firstFailure && !pnv::tryStrToInt(text))
            firstFailure = text;
    };
    note(request.port);
    for (const QString *dotted : {&request.encoderIp, &request.gateway, &request.subnetMask})
        for (const QString &octet : pnv::splitDottedText(*dotted))
            note(octet);

    try {
        const pnv::ConfigRequestBytes bytes = request.encode();
        FUZZ_CHECK(!firstFailure);
        auto octet = [](const QString &text) { return static_cast<std::uint8_t>(*pnv::tryStrToInt(text) & 0xFF); };
        const auto ip = pnv::splitDottedText(request.encoderIp);
        const auto gateway = pnv::splitDottedText(request.gateway);
        const auto mask = pnv::splitDottedText(request.subnetMask);
        const auto port = static_cast<std::uint16_t>(*pnv::tryStrToInt(request.port) & 0xFFFF);
        const pnv::ConfigRequestBytes expected = {
            octet(ip[0]), octet(ip[1]), octet(ip[2]), octet(ip[3]),
            static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xFF),
            172, 16, 0, 1, 700 >> 8, 700 & 0xFF,
            octet(gateway[0]), octet(gateway[1]), octet(gateway[2]), octet(gateway[3]),
            octet(mask[0]), octet(mask[1]), octet(mask[2]), octet(mask[3])};
        FUZZ_CHECK(bytes == expected);
    } catch (const pnv::ConversionError &error) {
        FUZZ_CHECK(firstFailure && error.offendingText() == *firstFailure);
    }
    // Any other exception escapes and libFuzzer reports it.
}

// A reply shown in the window and written back unchanged stores what was read,
// apart from the auxiliary fields the utility always sets.
void checkReplyRoundTrip(const std::uint8_t *record26)
{
    const pnv::TConfigReply reply = pnv::TConfigReply::decode(record26);
    FUZZ_CHECK(reply.mac.size() == 6 * 2 + 5 * 3);
    const QStringList macParts = reply.mac.split(QStringLiteral(" - "));
    FUZZ_CHECK(macParts.size() == 6);
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        FUZZ_CHECK(macParts[i].toUInt(&ok, 16) == record26[i] && ok && macParts[i] == macParts[i].toUpper());
    }

    pnv::TConfigRequest request;
    request.encoderIp = reply.encoderIp;
    request.port = reply.port;
    request.gateway = reply.gateway;
    request.subnetMask = reply.subnetMask;
    const pnv::ConfigRequestBytes bytes = request.encode();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool auxiliary = i >= 6 && i < 12;
        if (!auxiliary)
            FUZZ_CHECK(bytes[i] == record26[6 + i]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t selector = data[0];
    ++data;
    --size;

    QString text;
    if (selector & 1) {
        text.resize(static_cast<qsizetype>(size / 2));
        for (std::size_t i = 0; i < size / 2; ++i)
            text[static_cast<qsizetype>(i)] = QChar(static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
    } else {
        text = QString::fromLatin1(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    }

    switch ((selector >> 1) % 3) {
    case 0:
        checkInteger(text);
        break;
    case 1:
        checkRequest(text);
        break;
    default:
        if (size >= static_cast<std::size_t>(TESSALIN_CONFIG_REPLY_SIZE))
            checkReplyRoundTrip(data);
        break;
    }
    return 0;
}
