#include "WineServer.h"

#include "LinuxSystem.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace pnv::winebridge {

std::string ownNetwork() { return readLink("/proc/self/ns/net"); }

// Found without starting anything: the server folder is server-DEV-INODE (of
// the prefix folder) under Debian's private folder that the prefix's
// `wineserver` file names (in TMPDIR or /tmp), or upstream's /tmp/.wine-UID;
// a live wineserver holds a write lock on its `lock` file, which names its
// process.
Server runningServer(const std::string &prefix)
{
    struct stat folder {};
    if (::stat(prefix.c_str(), &folder) != 0)
        return {};
    char server[64];
    std::snprintf(server, sizeof server, "/server-%llx-%llx/lock", static_cast<unsigned long long>(folder.st_dev),
                  static_cast<unsigned long long>(folder.st_ino));
    std::vector<std::string> locks{"/tmp/.wine-" + std::to_string(::getuid()) + server};
    char name[256] = {};
    if (FILE *f = std::fopen((prefix + "/wineserver").c_str(), "rbe")) {
        const std::size_t n = std::fread(name, 1, sizeof name - 1, f);
        std::fclose(f);
        const std::string own(name, n);
        if (!own.empty() && own != "." && own != ".." && own.find_first_of("/\n") == std::string::npos) {
            if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp == '/')
                locks.push_back(std::string(tmp) + "/" + own + server);
            locks.push_back("/tmp/" + own + server);
        }
    }
    for (const std::string &lock : locks) {
        const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct flock held {};
        held.l_type = F_WRLCK;
        held.l_whence = SEEK_SET;
        const bool probed = ::fcntl(fd, F_GETLK, &held) == 0;
        ::close(fd);
        if (!probed || held.l_type == F_UNLCK)
            continue;
        // A process outside our PID namespace shows as 0: its namespace cannot be told.
        return {true, held.l_pid, held.l_pid > 0 ? readLink("/proc/" + std::to_string(held.l_pid) + "/ns/net") : ""};
    }
    return {};
}

namespace {

// Starts the wineserver of `prefix`, kept for `staysSeconds` after its
// last client, in this network namespace and in a session of its own, away
// from our process group and our standard streams: it ends by itself, or
// with `wineserver -k`. It puts itself in the background once its socket is
// ready, which is when the host's loader finds it; a server that does not
// may be left to run, as it ends by itself.
// Returns the process when it has not gone to the background within a
// moment, for the caller to reap later; else -1.
pid_t startStayingServer(const std::string &loader, char *const envp[], int staysSeconds)
{
    const std::string folder = loader.substr(0, loader.rfind('/') + 1);
    std::string server = isExecutable(folder + "wineserver") ? folder + "wineserver" : searchPath("wineserver");
    if (server.empty())
        return -1;
    std::string stays = "-p" + std::to_string(staysSeconds);
    char *argv[] = {server.data(), stays.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    // Nothing else of ours: it stays a minute past its last client, and a
    // descriptor it held (a lock, a socket of the caller's) would stay with it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    initDefaultSignals(attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, server.c_str(), &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        return -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int status;
    while (std::chrono::steady_clock::now() < until) {
        if (::waitpid(pid, &status, WNOHANG) != 0)
            return -1;
        ::poll(nullptr, 0, 5);
    }
    return pid;
}

bool copyFile(const std::string &from, const std::string &to)
{
    FILE *in = std::fopen(from.c_str(), "rbe");
    if (!in)
        return false;
    std::string temporary = to + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    FILE *out = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    bool ok = out != nullptr;
    char chunk[65536];
    for (std::size_t n; ok && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        ok = std::fwrite(chunk, 1, n, out) == n;
    ok = ok && !std::ferror(in);
    std::fclose(in);
    if (out)
        ok = std::fclose(out) == 0 && ok;
    else if (fd >= 0)
        ::close(fd);
    ok = ok && ::rename(temporary.c_str(), to.c_str()) == 0;
    if (!ok && fd >= 0)
        ::unlink(temporary.c_str());
    return ok;
}

// A prefix of a namespace's own, beside the shared one, so that it gets a
// wineserver of its own: links to the shared prefix's drives (hundreds of
// megabytes, read by both) and copies of its small registry files, which each
// wineserver rewrites. The system registry comes last: it marks a made one.
bool makeLightPrefix(const std::string &shared, const std::string &light)
{
    struct stat made {};
    if (::lstat(light.c_str(), &made) == 0 && (!S_ISDIR(made.st_mode) || made.st_uid != ::geteuid()))
        return false;
    if (exists(light + "/system.reg"))
        return true;
    char real[PATH_MAX];
    if (!::realpath(shared.c_str(), real) || !exists(shared + "/system.reg") || !isDirectory(shared + "/drive_c"))
        return false;
    if (::mkdir(light.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    for (const char *big : {"drive_c", "dosdevices"})
        if (::symlink((std::string(real) + "/" + big).c_str(), (light + "/" + big).c_str()) != 0 && errno != EEXIST)
            return false;
    for (const char *small : {".update-timestamp", "userdef.reg", "user.reg", "system.reg"})
        if (!copyFile(shared + "/" + small, light + "/" + small))
            return false;
    return true;
}

std::string describe(const std::string &net) { return net.empty() ? std::string("unknown") : net; }

// Starts a wineserver on `prefix` in this namespace when none runs; returns
// what runs now.
Server ensureServer(const std::string &prefix, const std::string &loader, const std::vector<std::string> &environment,
                    int stays, std::vector<pid_t> &unreaped)
{
    const Server running = runningServer(prefix);
    if (running.running)
        return running;
    // A new prefix: the wineserver needs its folder, and the host's loader
    // then makes the rest in it.
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    std::vector<std::string> env = environment;
    env.push_back("WINEPREFIX=" + prefix);
    std::vector<char *> envp;
    for (auto &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    if (const pid_t late = startStayingServer(loader, envp.data(), stays); late > 0)
        unreaped.push_back(late);
    return runningServer(prefix);
}

} // namespace

PrefixLock::PrefixLock(const std::string &prefix, std::chrono::steady_clock::time_point until)
{
    std::string folder = prefix;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    folder = folder.substr(0, folder.rfind('/'));
    const int fd = ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // Another start holds it for a wineserver's start, under a second.
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= until) {
            ::close(fd);
            return;
        }
        ::poll(nullptr, 0, 10);
    }
    m_fd = fd;
}

PrefixLock::~PrefixLock()
{
    if (m_fd >= 0)
        ::close(m_fd);   // and the lock with it
}

std::string servePrefix(const std::string &shared, const std::string &loader, const std::vector<std::string> &environment,
                        int stays, std::string &refusal, std::vector<pid_t> &unreaped)
{
    const std::string ours = ownNetwork();
    // Named by the namespace's inode number ("net:[4026532174]").
    const std::size_t from = ours.find('['), to = ours.find(']');
    const bool known = from != std::string::npos && to != std::string::npos && from < to;
    std::string light = shared;
    while (light.size() > 1 && light.back() == '/')
        light.pop_back();
    light += ".net-" + (known ? ours.substr(from + 1, to - from - 1) : "");

    const Server first = ensureServer(shared, loader, environment, stays, unreaped);
    // None could be started (no wineserver program beside the loader): the
    // loader starts its own, in this namespace; the check once the host is
    // ready stands guard.
    if (!first.running || (known && first.net == ours))
        return shared;
    // Served from another namespace: this namespace's own prefix beside it.
    if (known && makeLightPrefix(shared, light)) {
        const Server own = ensureServer(light, loader, environment, stays, unreaped);
        if (!own.running || own.net == ours)
            return light;
    }
    refusal = "the Wine prefix " + shared + " is served by a wineserver (process " + std::to_string(first.pid)
              + ") in network namespace " + describe(first.net) + ", not this program's " + describe(ours)
              + ", whose encoders it would reach, and this namespace's own prefix " + light
              + " cannot be used: give each network namespace a WINEPREFIX of its own";
    return {};
}

std::string foreignServer(const std::string &prefix)
{
    const Server server = runningServer(prefix);
    const std::string ours = ownNetwork();
    if (!server.running || (!ours.empty() && server.net == ours))
        return {};
    return "the Wine host joined the wineserver (process " + std::to_string(server.pid) + ") of the Wine prefix " + prefix
           + " in network namespace " + describe(server.net) + ", not this program's "
           + describe(ours) + ", whose encoders it would reach: every call is refused (give each network namespace a "
             "WINEPREFIX of its own)";
}

} // namespace pnv::winebridge
