#pragma once
// Small questions to the system the Linux half asks in several places: files,
// links, the PATH, and the signal state a child starts with.

#include <spawn.h>

#include <string>

namespace pnv::winebridge {

bool exists(const std::string &path);
bool isExecutable(const std::string &path);
bool isDirectory(const std::string &path);
// `name` in the PATH's folders, or empty.
std::string searchPath(const char *name);
bool startsWithShebang(const std::string &path);
// A symbolic link's target (short ones: /proc's namespace links), or empty.
std::string readLink(const std::string &path);
// Spawn attributes for a child that starts with every signal at its default
// and none blocked, whatever the caller ignores or blocks; `flags` adds to them.
void initDefaultSignals(posix_spawnattr_t &attributes, short flags);

} // namespace pnv::winebridge
