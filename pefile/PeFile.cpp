#include "PeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace pnv {
namespace {

// No device library comes near this; a larger file is not one.
constexpr std::size_t kMaxFileSize = 64u << 20;

constexpr std::uint16_t kMachineI386 = 0x014c;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kFileIsDll = 0x2000;

class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t> &bytes) : m_bytes(bytes) {}
    bool has(std::size_t offset, std::size_t size) const
    {
        return offset <= m_bytes.size() && size <= m_bytes.size() - offset;
    }
    std::uint32_t u16(std::size_t offset) const { return m_bytes[offset] | m_bytes[offset + 1] << 8; }
    std::uint32_t u32(std::size_t offset) const
    {
        return u16(offset) | static_cast<std::uint32_t>(u16(offset + 2)) << 16;
    }
    // A NUL-terminated name, or nothing when it runs off the end.
    bool name(std::size_t offset, std::string &out) const
    {
        out.clear();
        for (std::size_t i = offset; i < m_bytes.size() && out.size() < 256; ++i) {
            if (m_bytes[i] == 0)
                return true;
            out.push_back(static_cast<char>(m_bytes[i]));
        }
        return false;
    }

private:
    const std::vector<std::uint8_t> &m_bytes;
};

struct Section {
    std::uint32_t address, size, rawOffset, rawSize;
};

} // namespace

LibraryFile inspectLibrary(const std::string &path)
{
    LibraryFile file;
    // Not blocking: a FIFO named as the library must not hold the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        file.problem = path + ": cannot be read";
        return file;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        file.kind = LibraryFile::Kind::Neither;
        file.problem = path + ": not a regular file";
        return file;
    }
    // The first bytes tell ELF from PE; only a PE file is read on, for its
    // export table, and never beyond the bound.
    std::vector<std::uint8_t> bytes;
    const auto readUpTo = [&](std::size_t size) {
        while (bytes.size() < size) {
            std::uint8_t chunk[65536];
            const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, size - bytes.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
    };
    readUpTo(4);
    if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z')
        readUpTo(kMaxFileSize + 1);
    ::close(fd);
    return inspectLibraryBytes(bytes, path);
}

LibraryFile inspectLibraryBytes(const std::vector<std::uint8_t> &bytes, const std::string &path)
{
    LibraryFile file;
    const Reader r(bytes);
    if (r.has(0, 4) && bytes[0] == 0x7f && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F') {
        file.kind = LibraryFile::Kind::Elf;
        return file;
    }
    if (!(r.has(0, 2) && bytes[0] == 'M' && bytes[1] == 'Z')) {
        file.kind = LibraryFile::Kind::Neither;
        file.problem = path + ": neither a Linux library (ELF) nor a Windows DLL (PE)";
        return file;
    }
    file.kind = LibraryFile::Kind::Pe;
    const auto truncated = [&] {
        file.problem = path + ": truncated or damaged Windows DLL";
        return file;
    };
    if (bytes.size() > kMaxFileSize)
        return truncated();
    if (!r.has(0x3c, 4))
        return truncated();
    const std::size_t pe = r.u32(0x3c);
    if (!r.has(pe, 24) || bytes[pe] != 'P' || bytes[pe + 1] != 'E' || bytes[pe + 2] || bytes[pe + 3])
        return truncated();
    const std::uint32_t machine = r.u16(pe + 4);
    const std::size_t sectionCount = r.u16(pe + 6);
    const std::size_t optionalSize = r.u16(pe + 20);
    const std::uint32_t characteristics = r.u16(pe + 22);
    const std::size_t optional = pe + 24;
    if (!r.has(optional, optionalSize) || !r.has(optional, 2))
        return truncated();
    if (machine != kMachineI386 && machine != kMachineAmd64) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(machine));
        file.problem = path + ": a Windows DLL for another machine (type " + hex + "), not x86 or x64";
        return file;
    }
    if (!(characteristics & kFileIsDll)) {
        file.problem = path + ": a Windows program, not a DLL";
        return file;
    }
    const std::uint32_t magic = r.u16(optional);
    const std::size_t directories = magic == 0x20b ? optional + 112 : optional + 96;
    if ((magic != 0x10b && magic != 0x20b) || (magic == 0x20b) != (machine == kMachineAmd64))
        return truncated();
    file.bits = machine == kMachineAmd64 ? 64 : 32;
    if (directories + 8 > optional + optionalSize)
        return file;   // no export directory: every entry point is missing, said below
    const std::uint32_t exportRva = r.u32(directories);

    std::vector<Section> sections;
    const std::size_t table = optional + optionalSize;
    if (!r.has(table, sectionCount * 40))
        return truncated();
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::size_t s = table + i * 40;
        sections.push_back({r.u32(s + 12), std::max(r.u32(s + 8), r.u32(s + 16)), r.u32(s + 20), r.u32(s + 16)});
    }
    const auto offsetOf = [&](std::uint32_t rva, std::size_t &offset) {
        for (const Section &s : sections) {
            if (rva >= s.address && rva - s.address < s.size && rva - s.address < s.rawSize) {
                offset = std::size_t{s.rawOffset} + (rva - s.address);
                return true;
            }
        }
        return false;
    };
    if (exportRva == 0)
        return file;
    std::size_t exportDir = 0;
    if (!offsetOf(exportRva, exportDir) || !r.has(exportDir, 40))
        return truncated();
    file.exportedFunctions = r.u32(exportDir + 20);
    const std::size_t nameCount = r.u32(exportDir + 24);
    std::size_t names = 0;
    if (nameCount > 65536 || (nameCount && (!offsetOf(r.u32(exportDir + 32), names) || !r.has(names, nameCount * 4))))
        return truncated();
    for (std::size_t i = 0; i < nameCount; ++i) {
        std::size_t at = 0;
        std::string name;
        if (!offsetOf(r.u32(names + i * 4), at) || !r.name(at, name))
            return truncated();
        file.exports.push_back(name);
    }
    return file;
}

} // namespace pnv
