#pragma once
// The one conversion every numeric field text goes through.
//
// Leading blanks (the blank character only) are skipped. Then either an
// optional "-" or "+" and decimal digits, or, without a sign, hexadecimal
// digits after "$", "x", "X", "0x" or "0X". The text ends at its first NUL.
// Anything else fails: the empty text, no digits, any other character
// (trailing blanks included), a decimal value outside the signed 32-bit range,
// or a hexadecimal value that needs more than 32 bits. Up to eight hexadecimal
// digits are a 32-bit pattern, so "$FFFFFFFF" is -1.

#include <QChar>
#include <QStringView>
#include <cstdint>
#include <optional>

namespace pnv {

// The non-throwing form, for callers that treat failure as a value.
std::optional<std::int32_t> tryStrToInt(QStringView text);

// Throws ConversionError naming the whole text on failure.
std::int32_t strToInt(QStringView text);

// "0" to "9" and nothing else: the digits the conversion reads as decimal,
// and the ones the fields' key filters let through.
inline bool isDecimalDigit(QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; }

} // namespace pnv
