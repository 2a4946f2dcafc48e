// Feeds any bytes to the library-file header reader that decides, before any
// Wine process starts, whether a file binds natively (ELF), through the
// bridge (PE) or not at all, and lists a DLL's exports. Every offset in a PE
// file is the file's own word: none may read outside the bytes, and what the
// reader reports must hold together.
//
// Input: the file's bytes.

#include "FuzzCheck.h"
#include "PeFile.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::vector<std::uint8_t> bytes(data, data + size);
    const pnv::LibraryFile file = pnv::inspectLibraryBytes(bytes, "lib");
    const bool mz = size >= 2 && data[0] == 'M' && data[1] == 'Z';
    const bool elf = size >= 4 && data[0] == 0x7f && data[1] == 'E' && data[2] == 'L' && data[3] == 'F';
    FUZZ_CHECK(file.kind == (elf ? pnv::LibraryFile::Kind::Elf : mz ? pnv::LibraryFile::Kind::Pe
                                                                     : pnv::LibraryFile::Kind::Neither));
    // Every refusal names the file; a usable DLL has a machine type.
    FUZZ_CHECK(file.problem.empty() || file.problem.rfind("lib: ", 0) == 0);
    if (file.kind == pnv::LibraryFile::Kind::Pe && file.problem.empty())
        FUZZ_CHECK(file.bits == 32 || file.bits == 64);
    FUZZ_CHECK(file.exports.size() <= 65536);
    for (const std::string &name : file.exports)
        FUZZ_CHECK(name.size() <= 256 && name.find('\0') == std::string::npos);
    return 0;
}
