#include "HostPlan.h"

#include "LinuxSystem.h"
#include "PeFile.h"
#include "WinePaths.h"
#include "tessalin_entry_points.h"

#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>

namespace pnv::winebridge {
namespace {


// Never a shared folder: without HOME, the account's home from the password
// database; without that either, nothing (the caller refuses).
std::string defaultPrefix()
{
    if (const char *p = std::getenv("WINEPREFIX"); p && *p)
        return p;
    if (const char *d = std::getenv("XDG_DATA_HOME"); d && *d == '/')
        return std::string(d) + "/pnv3400/wine";
    std::string home;
    if (const char *h = std::getenv("HOME"); h && *h == '/')
        home = h;
    else if (const passwd *account = ::getpwuid(::geteuid()); account && account->pw_dir && *account->pw_dir == '/')
        home = account->pw_dir;
    return home.empty() ? std::string() : home + "/.local/share/pnv3400/wine";
}

// Makes the folders up to `path`'s parent; the prefix itself Wine makes. A
// plain file on the way (or as the prefix) makes it unusable, whatever its
// permissions say.
bool prefixUsable(const std::string &prefix)
{
    if (exists(prefix))
        return isDirectory(prefix) && ::access(prefix.c_str(), W_OK | X_OK) == 0;
    if (prefix.empty() || prefix[0] != '/')
        return false;
    std::string parent = prefix.substr(0, prefix.find_last_of('/'));
    for (std::size_t at = 1; at <= parent.size(); ++at) {
        if (at == parent.size() || parent[at] == '/') {
            const std::string part = parent.substr(0, at);
            if (exists(part) ? !isDirectory(part) : ::mkdir(part.c_str(), 0700) != 0)
                return false;
        }
    }
    return ::access((parent.empty() ? "/" : parent).c_str(), W_OK | X_OK) == 0;
}



} // namespace

HostPlan planHost(const std::string &dll, const std::string &hostDir, std::string &error)
{
    HostPlan plan;
    const LibraryFile file = inspectLibrary(dll);
    if (file.kind != LibraryFile::Kind::Pe) {
        error = file.kind == LibraryFile::Kind::Elf ? dll + ": a Linux library, not a Windows DLL" : file.problem;
        return plan;
    }
    if (!file.problem.empty()) {
        error = file.problem;
        return plan;
    }
    for (const char *name : {TESSALIN_ENTRY_POINTS(TESSALIN_ENTRY_POINT_NAME)}) {
        if (std::find(file.exports.begin(), file.exports.end(), name) != file.exports.end())
            continue;
        // A __stdcall build without a module definition exports S_Connect@12
        // (or _S_Connect@12): the same function, but not under its name.
        const auto decorated = std::find_if(file.exports.begin(), file.exports.end(), [name](const std::string &e) {
            const std::string plain = e.rfind('_', 0) == 0 ? e.substr(1) : e;
            return plain.rfind(std::string(name) + "@", 0) == 0;
        });
        // Exported by number alone, an entry point has no name to be found by.
        const bool ordinalsOnly = file.exports.empty() && file.exportedFunctions > 0;
        error = dll + ": entry point '" + name + "' not found"
                + (decorated != file.exports.end() ? " (it exports '" + *decorated + "', a decorated __stdcall name)"
                   : ordinalsOnly ? " (it exports " + std::to_string(file.exportedFunctions)
                                        + " functions by ordinal only, no names: it was written for a program that "
                                          "knows their numbers)"
                                  : std::string());
        return plan;
    }
    plan.loader = searchPath(file.bits == 64 ? "wine64" : "wine");
    if (plan.loader.empty())
        plan.loader = searchPath("wine");
    // Debian's wine is a script that picks the 32-bit loader whenever it is
    // installed, which starts a 64-bit host through start.exe: a process
    // between us and the host, whose end leaves the host running. The
    // loader of the DLL's machine type is started directly instead.
    if (!plan.loader.empty() && startsWithShebang(plan.loader)) {
        const char *direct = file.bits == 64 ? "/usr/lib/wine/wine64" : "/usr/lib/wine/wine";
        if (isExecutable(direct))
            plan.loader = direct;
    }
    if (plan.loader.empty()) {
        error = dll + ": a Windows DLL needs Wine, which is not installed (install the package wine: "
                      "sudo apt-get install wine)";
        return plan;
    }
    // Debian's wine launcher picks the 32-bit loader when wine32 is there and
    // falls back to the 64-bit one, which cannot load a 32-bit DLL.
    if (file.bits == 32 && startsWithShebang(plan.loader) && exists("/usr/lib/wine/wine64")
        && !isExecutable("/usr/lib/wine/wine")) {
        error = dll + ": a 32-bit Windows DLL needs 32-bit Wine, which is not installed (sudo dpkg "
                      "--add-architecture i386 && sudo apt-get update && sudo apt-get install wine32:i386)";
        return plan;
    }
    plan.hostExe = hostDir + (file.bits == 64 ? "/tessalin-host64.exe" : "/tessalin-host32.exe");
    if (!exists(plan.hostExe)) {
        error = dll + ": the bridge's host program " + plan.hostExe + " is missing";
        return plan;
    }
    plan.prefix = defaultPrefix();
    // The host runs in the DLL's folder: every path it is handed is absolute
    // (as named: a loader reached through a link finds its own files by it).
    char here[PATH_MAX];
    for (std::string *path : {&plan.hostExe, &plan.loader, &plan.prefix})
        if (!path->empty() && path->front() != '/' && ::getcwd(here, sizeof here))
            *path = std::string(here) + "/" + *path;
    if (plan.prefix.empty()) {
        error = dll + ": no home folder for the Wine prefix (set WINEPREFIX to a folder of your own)";
        return plan;
    }
    // What Wine loads is decided by whoever owns the prefix.
    struct stat owner {};
    if (::stat(plan.prefix.c_str(), &owner) == 0 && owner.st_uid != ::geteuid()) {
        error = dll + ": the Wine prefix folder " + plan.prefix
                + " belongs to another user (set WINEPREFIX to a folder of your own)";
        return plan;
    }
    if (!prefixUsable(plan.prefix)) {
        error = dll + ": the Wine prefix folder " + plan.prefix
                + " is not writable (set WINEPREFIX to a folder of your own)";
        return plan;
    }
    char absolute[PATH_MAX];
    if (!::realpath(dll.c_str(), absolute)) {
        error = dll + ": cannot be read";
        return plan;
    }
    for (const auto &[what, path] : {std::pair<std::string, std::string>{"its path", absolute},
                                     {"the Wine prefix folder's path", plan.prefix},
                                     {"the bridge's host program's path", plan.hostExe}})
        if (const std::string problem = inexpressiblePath(what, path); !problem.empty()) {
            error = dll + ": " + problem;
            return plan;
        }
    // Wine's drive Z: is the Linux root.
    plan.windowsPath = windowsPath(absolute);
    plan.absolute = absolute;
    plan.folder = plan.absolute.substr(0, std::max<std::size_t>(plan.absolute.rfind('/'), 1));
    plan.bits = file.bits;
    plan.dll = dll;
    return plan;
}

// The folder of the library this code is in, where the host programs lie.
std::string ownFolder()
{
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void *>(&defaultPrefix), &info) || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace pnv::winebridge
