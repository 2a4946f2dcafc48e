#pragma once
// The text rules of one octet field: what an assigned piece becomes, what a
// field becomes when the focus leaves it, and what number it stands for.
// Kept apart from the widgets so the rules read in one place.

#include <QString>
#include <QStringList>
#include <QStringView>
#include <QtGlobal>
#include <optional>

namespace pnv::ipedit {

// The text with blanks and control characters (every code up to 32) removed
// from both ends. Other white space, such as a no-break space, is kept.
QStringView trimmedOfControlsAndBlanks(QStringView text);

// The octet text of an assigned piece: the decimal text of n rem 256, which
// keeps the sign of n ("300" gives "44", "-300" gives "-44"), or the empty
// text when the piece is not a number. The piece is converted untrimmed.
QString octetText(QStringView piece);

// The octet texts an assigned dotted text puts into fields 0, 1, ... in that
// order: at most four, fewer when the text has fewer pieces.
QStringList octetTextsOfDotted(QStringView dottedText);

// What a field's text becomes when the focus leaves it, or nothing when it
// stays as it is: blank or empty fields and texts that are not numbers.
std::optional<QString> normalisedOctet(QStringView fieldText);

// The byte a field's text stands for in a 32-bit address. A text that is not
// a number counts as 0. A number outside 0 to 255 (a typed 999, an assigned
// -1) is masked to its low 8 bits, so it never spills into the neighbouring
// octets: 300 counts as 44, exactly what the field shows once normalised.
quint8 octetByte(QStringView fieldText);

// Whether a field's text is a number from 0 to 255. Texts that are not
// numbers are another matter (the conversion error), so they count as in range.
bool isOctetInRange(QStringView fieldText);

// Whether a pasted text, trimmed of white space, is one complete dotted
// address: four pieces of one to three decimal digits, each 0 to 255, and
// nothing else. Such a paste fills the whole control.
bool isWholeDottedAddress(QStringView pasted);

} // namespace pnv::ipedit
