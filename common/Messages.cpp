#include "Messages.h"

namespace pnv {

QString printable(QStringView text, qsizetype limit)
{
    QString out;
    const qsizetype shown = qMin(text.size(), limit);
    out.reserve(shown + 16);
    for (qsizetype i = 0; i < shown; ++i) {
        const char16_t c = text[i].unicode();
        // C0 and C1 controls, DEL, and the line and direction marks that can
        // reorder or split what the terminal shows.
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029
                             || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
        if (!control) {
            if (i == shown - 1 && shown < text.size() && QChar::isHighSurrogate(c))
                break;   // never half a character
            out += QChar(c);
            continue;
        }
        switch (c) {
        case u'\n': out += QLatin1String("\\n"); break;
        case u'\r': out += QLatin1String("\\r"); break;
        case u'\t': out += QLatin1String("\\t"); break;
        case u'\b': out += QLatin1String("\\b"); break;
        case u'\f': out += QLatin1String("\\f"); break;
        default: out += QStringLiteral("\\u%1").arg(unsigned(c), 4, 16, QLatin1Char('0'));
        }
    }
    if (shown < text.size())
        out += QStringLiteral("... (%1 characters)").arg(text.size());
    return out;
}

} // namespace pnv
