#pragma once
// What a library file is, from its header: an ELF file binds natively, a PE
// file (a Windows DLL) through the Wine bridge. For a PE file it also reads
// the machine type and the exported names, so that the binding can name a
// missing entry point or a wrong machine before any Wine process starts.
// Used by the binding and by the bridge library alike, and linked into both
// on its own (pnv::pefile), so that the binding does not carry the bridge.

#include <cstdint>
#include <string>
#include <vector>

namespace pnv {

struct LibraryFile {
    enum class Kind { Unreadable, Elf, Pe, Neither };
    Kind kind = Kind::Unreadable;
    std::string problem;                 // why a PE file cannot serve, empty when it can
    int bits = 0;                        // 32 (x86) or 64 (x64) for a usable PE file
    std::vector<std::string> exports;    // a PE file's exported names
    std::uint32_t exportedFunctions = 0; // how many it exports in all, by name or by ordinal only
};

LibraryFile inspectLibrary(const std::string &path);
// The same for bytes already read (the fuzz target's way in); `path` only
// names the file in messages.
LibraryFile inspectLibraryBytes(const std::vector<std::uint8_t> &bytes, const std::string &path);

} // namespace pnv
