#include "IntConversion.h"

#include "AppError.h"

#include <limits>

namespace pnv {
namespace {

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (isDecimalDigit(c))
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

std::optional<std::int32_t> parseHex(QStringView digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (QChar c : digits) {
        const int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(d);
        if (value > 0xFFFFFFFFull)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::optional<std::int32_t> parseDecimal(QStringView digits, bool negative)
{
    if (digits.isEmpty())
        return std::nullopt;
    // Magnitude limit: 2^31 for a negative value, 2^31 - 1 otherwise.
    const std::int64_t limit = negative ? std::int64_t(1) << 31 : (std::int64_t(1) << 31) - 1;
    std::int64_t value = 0;
    for (QChar c : digits) {
        if (!isDecimalDigit(c))
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace

std::optional<std::int32_t> tryStrToInt(QStringView text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    if (nul >= 0)
        text = text.left(nul);

    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    QStringView rest = text.mid(i);
    if (rest.isEmpty())
        return std::nullopt;

    if (rest.startsWith(u"0x") || rest.startsWith(u"0X"))
        return parseHex(rest.mid(2));
    if (rest[0] == u'$' || rest[0] == u'x' || rest[0] == u'X')
        return parseHex(rest.mid(1));
    if (rest[0] == u'-')
        return parseDecimal(rest.mid(1), true);
    if (rest[0] == u'+')
        return parseDecimal(rest.mid(1), false);
    return parseDecimal(rest, false);
}

std::int32_t strToInt(QStringView text)
{
    if (const auto value = tryStrToInt(text))
        return *value;
    throw ConversionError(text.toString());
}

} // namespace pnv
