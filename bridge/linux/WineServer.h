#pragma once
// The prefix's wineserver, seen from a network namespace.
//
// Every socket a Wine program opens is opened by its prefix's wineserver, in
// the network namespace where that wineserver started: a host joined to the
// wineserver of another namespace reaches that namespace's encoders. So the
// look for a running wineserver, the start of one and the host's start are
// one step under a lock every program of ours takes, in any namespace; and a
// host that finds itself served from another namespace anyway (a wineserver
// started by something else meanwhile) is refused.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace pnv::winebridge {

struct Server {
    bool running = false;
    pid_t pid = 0;
    std::string net;   // empty when its namespace cannot be seen from here
};

// The running wineserver of `prefix`, found without starting anything.
Server runningServer(const std::string &prefix);
// This process's network namespace, as "net:[INODE]", or empty.
std::string ownNetwork();

// The lock of one prefix and its namespaces' own prefixes beside it, held
// while a host of ours finds, starts and joins their wineservers: an flock
// on the folder that holds them, which every namespace sees.
class PrefixLock final {
public:
    PrefixLock(const std::string &prefix, std::chrono::steady_clock::time_point until);
    ~PrefixLock();
    PrefixLock(const PrefixLock &) = delete;
    PrefixLock &operator=(const PrefixLock &) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Under a held PrefixLock: the prefix a host started now uses (`shared`, or
// this namespace's own beside it) with a wineserver of this namespace
// running on it, started now (for `stays` seconds after its last client)
// when none ran. Empty, with `refusal` naming both namespaces, when there is
// none. `environment` is the host's, without WINEPREFIX; `unreaped` gets a
// wineserver process to reap later.
std::string servePrefix(const std::string &shared, const std::string &loader, const std::vector<std::string> &environment,
                        int stays, std::string &refusal, std::vector<pid_t> &unreaped);

// Empty when `prefix` is served by a wineserver of this namespace; else why
// a host of it must not be used, naming both namespaces.
std::string foreignServer(const std::string &prefix);

} // namespace pnv::winebridge
