#pragma once
// Where the pieces of one DLL's host are, all decided and checked before any
// process starts: the DLL (a PE file of x86 or x64 exporting the five), the
// Wine loader and host program of its machine type, the prefix, and every
// path as Wine and the DLL will see it.

#include <string>

namespace pnv::winebridge {

struct HostPlan {
    std::string dll;           // as given, for messages
    std::string windowsPath;   // the DLL as the host sees it (Z:\...)
    std::string absolute;      // the DLL's real path
    std::string folder;        // its folder: the host's current folder
    int bits = 0;
    std::string loader;        // the Wine loader for that bitness
    std::string hostExe;
    std::string prefix;
};

// An empty plan.dll and a message naming the file in `error` when something
// is missing. `hostDir` holds the host programs.
HostPlan planHost(const std::string &dll, const std::string &hostDir, std::string &error);
// The folder of the library this code is in, where the host programs lie.
std::string ownFolder();

} // namespace pnv::winebridge
