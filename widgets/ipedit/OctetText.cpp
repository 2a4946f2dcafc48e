#include "OctetText.h"

#include "IntConversion.h"

namespace pnv::ipedit {
namespace {

bool isControlOrBlank(QChar c) { return c.unicode() <= u' '; }

} // namespace

QStringView trimmedOfControlsAndBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isControlOrBlank(text[begin]))
        ++begin;
    while (end > begin && isControlOrBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

QString octetText(QStringView piece)
{
    const std::optional<std::int32_t> n = tryStrToInt(piece);
    if (!n)
        return QString();
    // C++ remainder truncates toward zero, so the sign of n survives.
    return QString::number(*n % 256);
}

QStringList octetTextsOfDotted(QStringView dottedText)
{
    // The appended dot closes the last piece, so "10.1" gives two pieces and
    // the empty text gives one empty piece.
    const QString text = trimmedOfControlsAndBlanks(dottedText).toString() + u'.';
    QStringList texts;
    QStringView rest(text);
    qsizetype dot;
    while (texts.size() < 4 && (dot = rest.indexOf(u'.')) >= 0) {
        texts.append(octetText(rest.first(dot)));
        rest = rest.sliced(dot + 1);
    }
    return texts;
}

std::optional<QString> normalisedOctet(QStringView fieldText)
{
    if (trimmedOfControlsAndBlanks(fieldText).isEmpty())
        return std::nullopt;
    const std::optional<std::int32_t> n = tryStrToInt(fieldText);
    if (!n)
        return std::nullopt;
    return QString::number(*n % 256);
}

quint8 octetByte(QStringView fieldText)
{
    const std::optional<std::int32_t> n = tryStrToInt(fieldText);
    return n ? static_cast<quint8>(static_cast<std::uint32_t>(*n) & 0xFFu) : 0;
}

bool isOctetInRange(QStringView fieldText)
{
    const std::optional<std::int32_t> n = tryStrToInt(fieldText);
    return !n || (*n >= 0 && *n <= 255);
}

bool isWholeDottedAddress(QStringView pasted)
{
    const QStringView address = pasted.trimmed();
    qsizetype pieces = 0;
    for (const QStringView piece : address.tokenize(u'.')) {
        if (++pieces > 4 || piece.isEmpty() || piece.size() > 3)
            return false;
        int value = 0;
        for (const QChar c : piece) {
            if (c < u'0' || c > u'9')
                return false;
            value = value * 10 + (c.unicode() - u'0');
        }
        if (value > 255)
            return false;
    }
    return pieces == 4;
}

} // namespace pnv::ipedit
