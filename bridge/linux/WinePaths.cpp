#include "WinePaths.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace pnv::winebridge {
namespace {

// The offset of the first byte that is not part of UTF-8, or npos.
std::size_t firstNonUtf8(const std::string &text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead & 0xe0) == 0xc0 && lead >= 0xc2 ? 2
                                   : (lead & 0xf0) == 0xe0 ? 3 : (lead & 0xf8) == 0xf0 && lead <= 0xf4 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return i;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
                return i;
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
        if (length > 2) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90)
                || (lead == 0xf4 && second >= 0x90))
                return i;
        }
        i += length;
    }
    return std::string::npos;
}

std::size_t utf8Length(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4; }

// "'ф' (U+0444)" for the character at `at`.
std::string nameCharacter(const std::string &text, std::size_t at)
{
    const std::size_t length = utf8Length(static_cast<unsigned char>(text[at]));
    unsigned long point = static_cast<unsigned char>(text[at]) & (length == 1 ? 0x7f : length == 2 ? 0x1f : length == 3 ? 0x0f : 0x07);
    for (std::size_t k = 1; k < length; ++k)
        point = (point << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3f);
    char code[16];
    std::snprintf(code, sizeof code, "U+%04lX", point);
    return "'" + text.substr(at, length) + "' (" + code + ")";
}

// The locale Wine takes its character set and ANSI code page from.
std::string ctypeLocale()
{
    for (const char *name : {"LC_ALL", "LC_CTYPE", "LANG"})
        if (const char *value = std::getenv(name); value && *value)
            return value;
    return "C";
}

bool isUtf8Codeset(const std::string &locale)
{
    const std::size_t dot = locale.find('.');
    if (dot == std::string::npos)
        return false;
    std::string codeset = locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
    codeset.erase(std::remove(codeset.begin(), codeset.end(), '-'), codeset.end());
    std::transform(codeset.begin(), codeset.end(), codeset.begin(), [](unsigned char c) { return std::tolower(c); });
    return codeset == "utf8";
}

// Windows' ANSI code page for a locale's language (and country), as Wine
// picks it; 0 where none is known.
int ansiCodePage(const std::string &locale)
{
    const std::string name = locale.substr(0, locale.find_first_of(".@"));
    const std::string language = name.substr(0, name.find('_'));
    if (name == "C" || name == "POSIX")
        return 1252;
    if (name == "zh_TW" || name == "zh_HK" || name == "zh_MO")
        return 950;
    static const std::pair<int, const char *> pages[] = {
        {1250, " cs hu pl ro hr sk sl sq bs "},
        {1251, " ru uk be bg mk kk ky mn tt ba sah tg "},
        {1252, " en de fr es it pt nl da sv nb nn no fi is ca eu gl id ms sw af fy ga gd lb oc rm wa fo kl br co "},
        {1253, " el "}, {1254, " tr az uz "}, {1255, " he yi "}, {1256, " ar fa ur ps ug "}, {1257, " et lv lt "},
        {1258, " vi "}, {874, " th "}, {932, " ja "}, {936, " zh "}, {949, " ko "},
    };
    for (const auto &[page, languages] : pages)
        if (std::strstr(languages, (" " + language + " ").c_str()))
            return page;
    return 0;
}

// The offset of the first character of `text` (UTF-8) that code page `page`
// cannot hold, or npos; npos too when the system cannot tell.
std::size_t firstOutside(const std::string &text, int page)
{
    const std::string target = page == 950 ? std::string("BIG5") : "CP" + std::to_string(page);
    iconv_t convert = ::iconv_open(target.c_str(), "UTF-8");
    if (convert == reinterpret_cast<iconv_t>(-1))
        return std::string::npos;
    std::size_t found = std::string::npos;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8Length(static_cast<unsigned char>(text[at]));
        if (length > 1) {
            std::string one = text.substr(at, length);
            char out[16];
            char *in = one.data(), *to = out;
            std::size_t left = one.size(), room = sizeof out;
            if (::iconv(convert, &in, &left, &to, &room) == static_cast<std::size_t>(-1)) {
                found = at;
                break;
            }
        }
        at += length;
    }
    ::iconv_close(convert);
    return found;
}

} // namespace

std::string inexpressiblePath(const std::string &what, const std::string &path)
{
    if (const std::size_t at = firstNonUtf8(path); at != std::string::npos) {
        char byte[8];
        std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(path[at])));
        return what + " holds the byte " + byte + " at position " + std::to_string(at + 1)
               + ", which is not UTF-8 text: Wine cannot open it (rename the folder or file)";
    }
    const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    const auto first = std::find_if_not(path.begin(), path.end(), ascii);
    if (first == path.end())
        return {};
    const std::string locale = ctypeLocale();
    if (!isUtf8Codeset(locale))
        return what + " holds " + nameCharacter(path, static_cast<std::size_t>(first - path.begin()))
               + ", and under the locale " + locale
               + " Wine reads paths as ASCII and cannot open it (use a UTF-8 locale whose Windows code page holds it, "
                 "such as ru_RU.UTF-8 for Cyrillic, or rename the folder)";
    const int page = ansiCodePage(locale);
    if (page == 0)
        return {};
    const std::size_t outside = firstOutside(path, page);
    if (outside == std::string::npos)
        return {};
    return what + " holds " + nameCharacter(path, outside) + ", which the Windows code page of the locale " + locale
           + " (" + std::to_string(page)
           + ") cannot express: the DLL would read '?' for it in its own path (rename the folder, or use a locale whose "
             "code page holds it)";
}

std::string windowsPath(const std::string &absolute)
{
    std::string path = "Z:" + absolute;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

} // namespace pnv::winebridge
