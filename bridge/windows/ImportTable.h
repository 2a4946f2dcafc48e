#pragma once
// The import descriptors of a module loaded in this process (one per DLL it
// imports from), walked in one place for the host: to name a DLL that does
// not load, and to put our functions in place of the vendor's message boxes.

#include <windows.h>

#include <cstdint>

namespace pnv::winehost {

// Calls `visit(base, descriptor)` for each import descriptor of `module`,
// until it returns true. `base` is the module's first byte, which the
// descriptor's addresses are relative to.
template <typename Visit>
void forEachImportDescriptor(HMODULE module, Visit visit)
{
    auto *base = reinterpret_cast<std::uint8_t *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress)
        return;
    for (auto *entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress); entry->Name;
         ++entry)
        if (visit(base, *entry))
            return;
}

} // namespace pnv::winehost
