#include "Messages.h"

#include "ControlCharacters.h"

namespace pnv {
namespace {

bool isControl(char16_t c) { return isControlCharacter(c); }

QString escaped(char16_t c)
{
    switch (c) {
    case u'\\': return QStringLiteral("\\\\");
    case u'\n': return QStringLiteral("\\n");
    case u'\r': return QStringLiteral("\\r");
    case u'\t': return QStringLiteral("\\t");
    case u'\b': return QStringLiteral("\\b");
    case u'\f': return QStringLiteral("\\f");
    default: return QStringLiteral("\\u%1").arg(unsigned(c), 4, 16, QLatin1Char('0'));
    }
}

// How many characters of `text` are shown: `limit`, less a high surrogate
// that would be cut from its pair.
qsizetype shownLength(QStringView text, qsizetype limit)
{
    const qsizetype shown = qMin(text.size(), limit);
    if (shown > 0 && shown < text.size() && QChar::isHighSurrogate(text[shown - 1].unicode()))
        return shown - 1;
    return shown;
}

QString cutNote(QStringView text, qsizetype shown)
{
    return shown < text.size() ? QStringLiteral("... (%1 characters)").arg(text.size()) : QString();
}

bool plainInName(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c >= 0x80
           || QStringView(u"._-+/,:@%=^").contains(QChar(c));
}

} // namespace

QString printable(QStringView text, qsizetype limit)
{
    const qsizetype shown = shownLength(text, limit);
    QString out;
    out.reserve(shown + 16);
    for (qsizetype i = 0; i < shown; ++i) {
        const char16_t c = text[i].unicode();
        if (isControl(c) || c == u'\\')
            out += escaped(c);
        else
            out += QChar(c);
    }
    return out + cutNote(text, shown);
}

QString quotedName(QStringView name, qsizetype limit)
{
    const qsizetype shown = shownLength(name, limit);
    const QStringView head = name.left(shown);
    bool plain = !head.isEmpty();
    for (const QChar c : head)
        plain = plain && plainInName(c.unicode()) && !isControl(c.unicode());
    if (plain)
        return head.toString() + cutNote(name, shown);
    QString out;
    bool quoted = false;   // inside a '...' part
    const auto quote = [&out, &quoted](bool open) {
        if (quoted != open)
            out += u'\'';
        quoted = open;
    };
    for (const QChar ch : head) {
        const char16_t c = ch.unicode();
        if (isControl(c)) {
            quote(false);
            out += QStringLiteral("$'") + (c == u'\\' ? QStringLiteral("\\\\") : escaped(c)) + u'\'';
        } else if (c == u'\'') {
            quote(false);
            out += QStringLiteral("\\'");
        } else {
            quote(true);
            out += ch;
        }
    }
    quote(false);
    if (out.isEmpty())
        out = QStringLiteral("''");
    return out + cutNote(name, shown);
}

} // namespace pnv
