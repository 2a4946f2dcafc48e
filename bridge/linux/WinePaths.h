#pragma once
// Linux paths as Wine and the DLL see them.
//
// Wine reads a Linux path in its locale's character set, and a DLL that asks
// for a path through the ANSI functions (GetModuleFileNameA, fopen) gets it
// in the ANSI code page the locale gives (ru_RU: 1251, ja_JP: 932, C and
// en_US: 1252), a character outside it as '?': a DLL in a folder so named
// cannot find the files beside it. The caller's locale is kept; a path it
// cannot carry is refused at binding, naming the character.

#include <string>

namespace pnv::winebridge {

// Empty when `path` reaches the DLL intact under the caller's locale (LC_ALL,
// LC_CTYPE, LANG); else why not, beginning with `what`.
std::string inexpressiblePath(const std::string &what, const std::string &path);
// Wine's drive Z: is the Linux root.
std::string windowsPath(const std::string &absolute);

} // namespace pnv::winebridge
