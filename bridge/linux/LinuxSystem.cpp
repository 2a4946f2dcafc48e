#include "LinuxSystem.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace pnv::winebridge {

bool isExecutable(const std::string &path) { return ::access(path.c_str(), X_OK) == 0; }
bool exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

bool isDirectory(const std::string &path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string searchPath(const char *name)
{
    const char *path = std::getenv("PATH");
    std::string all = path ? path : "/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= all.size()) {
        const std::size_t end = std::min(all.find(':', begin), all.size());
        const std::string dir = all.substr(begin, end - begin);
        if (!dir.empty() && isExecutable(dir + "/" + name))
            return dir + "/" + name;
        begin = end + 1;
    }
    return {};
}

bool startsWithShebang(const std::string &path)
{
    char head[2] = {};
    FILE *f = std::fopen(path.c_str(), "rbe");
    if (!f)
        return false;
    const bool script = std::fread(head, 1, 2, f) == 2 && head[0] == '#' && head[1] == '!';
    std::fclose(f);
    return script;
}

std::string readLink(const std::string &path)
{
    char target[128];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

void initDefaultSignals(posix_spawnattr_t &attributes, short flags)
{
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | flags));
}

} // namespace pnv::winebridge
