#pragma once
// The project's rule for what a message never shows as it is: C0 and C1
// controls, DEL, and the line and direction marks that can reorder or split
// what a terminal or a log viewer shows. Plain C++, for the Wine bridge's log
// relay (no Qt there) as for common/Messages.

namespace pnv {

constexpr bool isControlCharacter(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E)
           || (c >= 0x2066 && c <= 0x2069);
}

} // namespace pnv
