#include "WineHost.h"

#include "PeFile.h"
#include "tessalin_entry_points.h"
#include "tessalin_codes.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace pnv::winebridge {
namespace {

// A start on a made prefix takes 0.1 s with its wineserver running and under
// a second without; a loaded machine takes several times that, and a DllMain
// that hangs must not hold a Connect for long. A new prefix takes far longer.
constexpr std::chrono::seconds kStartBound{15};
constexpr std::chrono::seconds kNewPrefixBound{180};
// How long a host told to end (its input closed) has for S_Disconnect,
// DLLClose and the DLL's detach; ending takes a Wine process some tens of
// milliseconds.
constexpr std::chrono::seconds kEndBound{3};
// How long the prefix's wineserver we start stays after its last client:
// Wine's own starts with every program and ends at once after it, so each
// one-shot pnv3400ctl run (each Ansible task) would pay Wine's start again.
// Idle, it sleeps: no CPU.
constexpr int kServerStaysSeconds = 60;
// Beyond the call's own budget: the DLL answers a time-out itself, and the
// pipe round trip through Wine needs its moment.
constexpr std::chrono::milliseconds kGrace{750};

bool isExecutable(const std::string &path) { return ::access(path.c_str(), X_OK) == 0; }
bool exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

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
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    const bool script = std::fread(head, 1, 2, f) == 2 && head[0] == '#' && head[1] == '!';
    std::fclose(f);
    return script;
}

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

bool isDirectory(const std::string &path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

HostPlan planHost(const std::string &dll, const std::string &hostDir, std::string &error);

// The folder of the library this code is in, where the host programs lie.
std::string ownFolder()
{
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void *>(&planHost), &info) || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Wine turns the host's arguments and every Linux path into Windows text
// through its locale's character set. Under C or POSIX that set is ASCII and a
// folder named in any other script cannot be opened (Windows error 126), so a
// host that is handed such a path runs under a UTF-8 locale of its own. The
// offset of the first byte that is not part of UTF-8, or npos.
std::size_t firstNonUtf8(const std::string &text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead & 0xe0) == 0xc0 && lead >= 0xc2 ? 2
                                   : (lead & 0xf0) == 0xe0 ? 3 : (lead & 0xf8) == 0xf0 && lead <= 0xf4 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return i;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
                return i;
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
        if (length > 2) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90)
                || (lead == 0xf4 && second >= 0x90))
                return i;
        }
        i += length;
    }
    return std::string::npos;
}

bool isAscii(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A path Wine cannot take, named with its first such byte; empty when it can.
std::string untakeablePath(const std::string &what, const std::string &path)
{
    const std::size_t at = firstNonUtf8(path);
    if (at == std::string::npos)
        return {};
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(path[at])));
    return what + " holds the byte " + byte + " at position " + std::to_string(at + 1)
           + ", which is not UTF-8 text: Wine cannot open it (rename the folder or file)";
}

// Wine's drive Z: is the Linux root.
std::string windowsPath(const std::string &absolute)
{
    std::string path = "Z:" + absolute;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// A folder of our own for a host's notice FIFO: in the runtime folder, which
// only we can enter, or else a private one made under the temporary folder.
std::string makeNoticesFolder()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base = runtime && *runtime == '/' && ::access(runtime, W_OK | X_OK) == 0 ? runtime : "/tmp";
    std::string folder = base + "/pnv3400-bridge-XXXXXX";
    return ::mkdtemp(folder.data()) ? folder : std::string();
}

// Writes to a pipe whose reader may be gone, without SIGPIPE reaching the caller.
bool writeAll(int fd, const std::uint8_t *data, std::size_t size)
{
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    bool ok = true;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!ok && errno == EPIPE && !alreadyPending) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

std::string readLink(const std::string &path)
{
    char target[128];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Wine's clients open their sockets through the prefix's wineserver, in the
// network namespace where that wineserver started: a program in another
// namespace would reach that namespace's encoders. Found without starting
// anything: the server folder is server-DEV-INODE (of the prefix folder) under
// Debian's private folder that the prefix's `wineserver` file names (in TMPDIR
// or /tmp), or upstream's /tmp/.wine-UID; a live wineserver holds a write lock
// on its `lock` file, which names its process.
struct Server {
    bool running = false;
    pid_t pid = 0;
    std::string net;   // empty when its namespace cannot be seen from here
};

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

// Spawn attributes for a child that starts with every signal at its default
// and none blocked, whatever the caller ignores or blocks; `flags` adds to them.
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

// Starts the wineserver of `prefix`, kept for kServerStaysSeconds after its
// last client, in this network namespace and in a session of its own, away
// from our process group and our standard streams: it ends by itself, or
// with `wineserver -k`. It puts itself in the background once its socket is
// ready, which is when the host's loader finds it; a server that does not
// may be left to run, as it ends by itself.
// Returns the process when it has not gone to the background within a
// moment, for the caller to reap later; else -1.
pid_t startStayingServer(const std::string &loader, char *const envp[])
{
    const std::string folder = loader.substr(0, loader.rfind('/') + 1);
    std::string server = isExecutable(folder + "wineserver") ? folder + "wineserver" : searchPath("wineserver");
    if (server.empty())
        return -1;
    std::string stays = "-p" + std::to_string(kServerStaysSeconds);
    char *argv[] = {server.data(), stays.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
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

// Checks the DLL, Wine and the prefix; an empty plan.dll and a message naming
// the file when something is missing. `hostDir` holds the host programs.
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
        error = dll + ": entry point '" + name + "' not found"
                + (decorated == file.exports.end() ? std::string()
                                                   : " (it exports '" + *decorated + "', a decorated __stdcall name)");
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
        if (const std::string problem = untakeablePath(what, path); !problem.empty()) {
            error = dll + ": " + problem;
            return plan;
        }
    // Wine's drive Z: is the Linux root.
    plan.windowsPath = windowsPath(absolute);
    plan.bits = file.bits;
    plan.dll = dll;
    return plan;
}

} // namespace

std::shared_ptr<WineHost> WineHost::create(const std::string &dll, std::string &error)
{
    HostPlan plan = planHost(dll, ownFolder(), error);
    if (plan.dll.empty())
        return nullptr;
    return std::make_shared<WineHost>(std::move(plan));
}

WineHost::~WineHost()
{
    std::lock_guard<std::mutex> lock(m_ioLock);
    // Its input closed, a host ends by itself; the program waits for that
    // only up to the bound, then ends it, so that nothing outlives it.
    endLocked(false);
    for (const Ending &host : m_ending)
        settle(host, true);
}

bool WineHost::settle(const Ending &host, bool wait)
{
    int status;
    bool gone = ::waitpid(host.pid, &status, WNOHANG) == host.pid;
    if (!gone && !wait && Clock::now() < host.by)
        return false;
    if (!gone && wait) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, host.pid, 0));
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(host.by - Clock::now()).count();
        if (pidfd >= 0 && left > 0) {
            pollfd p{pidfd, POLLIN, 0};
            while (::poll(&p, 1, static_cast<int>(left)) < 0 && errno == EINTR) {
            }
        }
        if (pidfd >= 0)
            ::close(pidfd);
        gone = ::waitpid(host.pid, &status, WNOHANG) == host.pid;
    }
    if (!gone) {
        ::kill(host.pid, SIGKILL);
        ::waitpid(host.pid, &status, 0);
    }
    // What the DLL started runs in the host's process group (Wine's own
    // services and the wineserver start sessions of their own): it ends too.
    ::killpg(host.pid, SIGKILL);
    return true;
}

void WineHost::start()
{
    std::lock_guard<std::mutex> lock(m_ioLock);
    if (m_process.pid >= 0)
        return;
    // The first connect says why a host is refused.
    std::string refusal;
    if (const std::string prefix = choosePrefix(refusal); !prefix.empty())
        startLocked(prefix);
}

std::string WineHost::choosePrefix(std::string &refusal) const
{
    const std::string ours = readLink("/proc/self/ns/net");
    const Server shared = runningServer(m_plan.prefix);
    if (!shared.running || (!ours.empty() && shared.net == ours))
        return m_plan.prefix;
    // Named by the namespace's inode number ("net:[4026532174]").
    const std::size_t from = ours.find('['), to = ours.find(']');
    const bool known = from != std::string::npos && to != std::string::npos && from < to;
    std::string light = m_plan.prefix;
    while (light.size() > 1 && light.back() == '/')
        light.pop_back();
    light += ".net-" + (known ? ours.substr(from + 1, to - from - 1) : "");
    if (known) {
        const Server own = runningServer(light);
        if ((!own.running || own.net == ours) && makeLightPrefix(m_plan.prefix, light))
            return light;
    }
    refusal = "the Wine prefix " + m_plan.prefix + " is served by a wineserver (process " + std::to_string(shared.pid)
              + ") in network namespace " + (shared.net.empty() ? "unknown" : shared.net) + ", not this program's "
              + (ours.empty() ? "unknown" : ours) + ", whose encoders it would reach, and this namespace's own prefix "
              + light + " cannot be used: give each network namespace a WINEPREFIX of its own";
    return {};
}

void WineHost::startLocked(const std::string &prefix)
{
    // Reap hosts told to end earlier, so that none stays a zombie for long.
    m_ending.erase(std::remove_if(m_ending.begin(), m_ending.end(), [](const Ending &host) { return settle(host, false); }),
                   m_ending.end());
    int toHost[2], fromHost[2];
    if (::pipe2(toHost, O_CLOEXEC) != 0)
        return;
    if (::pipe2(fromHost, O_CLOEXEC) != 0) {
        ::close(toHost[0]);
        ::close(toHost[1]);
        return;
    }
    int log[2];
    if (::pipe2(log, O_CLOEXEC) != 0) {
        for (const int fd : {toHost[0], toHost[1], fromHost[0], fromHost[1]})
            ::close(fd);
        return;
    }
    m_process = Process{};
    m_process.prefix = prefix;
    // S_Disconnect and DLLClose during a call go through a FIFO apart from
    // the calls, so that the host's loading thread alone reads the calls and
    // another thread the notices. Opened both ways: never blocks, and the
    // host meets its end only when we close it.
    m_process.noticesFolder = makeNoticesFolder();
    const std::string fifo = m_process.noticesFolder + "/notices";
    if (m_process.noticesFolder.empty() || ::mkfifo(fifo.c_str(), 0600) != 0
        || (m_process.notices = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC)) < 0) {
        report(std::string("cannot make the host's notice channel: ") + std::strerror(errno));
        dropNoticesFolder();
        for (const int fd : {toHost[0], toHost[1], fromHost[0], fromHost[1], log[0], log[1]})
            ::close(fd);
        return;
    }
    // A wineserver writes the registry files only when it ends, so a prefix
    // made by a run whose wineserver still lives has none yet: its drive is
    // what tells that Wine made it.
    m_process.newPrefix = !exists(prefix + "/system.reg") && !exists(prefix + "/drive_c");
    if (m_process.newPrefix)
        std::fprintf(stderr, "%s: setting up the Wine prefix %s for the first time; this takes some seconds\n",
                     m_plan.dll.c_str(), prefix.c_str());

    std::vector<std::string> env;
    bool debugSet = false, overridesSet = false;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("WINEPREFIX=", 0) == 0)
            continue;
        debugSet |= entry.rfind("WINEDEBUG=", 0) == 0;
        overridesSet |= entry.rfind("WINEDLLOVERRIDES=", 0) == 0;
        env.push_back(entry);
    }
    env.push_back("WINEPREFIX=" + prefix);
    std::string loader = m_plan.loader, exe = m_plan.hostExe, dll = m_plan.windowsPath, notices = windowsPath(fifo);
    if (!isAscii(prefix + exe + dll + notices)) {
        env.erase(std::remove_if(env.begin(), env.end(), [](const std::string &entry) {
                      return entry.rfind("LC_ALL=", 0) == 0;
                  }), env.end());
        env.push_back("LC_ALL=C.UTF-8");
    }
    if (!debugSet)
        env.push_back("WINEDEBUG=-all");
    // A new prefix would otherwise offer to download .NET and HTML engines.
    if (!overridesSet)
        env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    std::vector<char *> envp;
    for (auto &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    // A new prefix is made by the loader's own wineserver, which needs the
    // folder that it makes first.
    m_serverStarts.erase(std::remove_if(m_serverStarts.begin(), m_serverStarts.end(),
                                        [](pid_t pid) { int status; return ::waitpid(pid, &status, WNOHANG) != 0; }),
                         m_serverStarts.end());
    if (!m_process.newPrefix && !runningServer(prefix).running)
        if (const pid_t unreaped = startStayingServer(m_plan.loader, envp.data()); unreaped > 0)
            m_serverStarts.push_back(unreaped);
    char *argv[] = {loader.data(), exe.data(), dll.data(), notices.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHost[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromHost[1], 1);
    // Never our own standard error: what Wine and the DLL print, and what
    // they start (a wineserver too) holds, is the log pipe.
    posix_spawn_file_actions_adddup2(&actions, log[1], 2);
    posix_spawnattr_t attributes;
    // Its own process group: Ctrl+C at the terminal is for the client, which
    // may finish its calls first (pnv3400ctl does); the host ends with its input.
    initDefaultSignals(attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, loader.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(toHost[0]);
    ::close(fromHost[1]);
    ::close(log[1]);
    if (rc != 0) {
        report(std::string("cannot start ") + loader + ": " + std::strerror(rc));
        ::close(toHost[1]);
        ::close(fromHost[0]);
        ::close(log[0]);
        ::close(m_process.notices);
        dropNoticesFolder();
        m_process = Process{};
        return;
    }
    m_process.pid = pid;
    m_process.in = toHost[1];
    m_process.out = fromHost[0];
    const auto slash = m_plan.dll.rfind('/');
    m_process.log = std::make_unique<LogRelay>(log[0], m_plan.dll.substr(slash == std::string::npos ? 0 : slash + 1) + ": ");
}

void WineHost::endLocked(bool kill)
{
    if (m_process.pid < 0)
        return;
    for (const int fd : {m_process.in, m_process.notices})
        if (fd >= 0)
            ::close(fd);
    ::close(m_process.out);
    dropNoticesFolder();
    if (m_process.exited)
        ::killpg(m_process.pid, SIGKILL);   // reaped already: only what the DLL started is left
    else if (kill)
        settle({m_process.pid, Clock::now()}, false);
    else
        m_ending.push_back({m_process.pid, Clock::now() + kEndBound});
    m_process = Process{};
}

void WineHost::dropNoticesFolder()
{
    if (m_process.noticesFolder.empty())
        return;
    ::unlink((m_process.noticesFolder + "/notices").c_str());
    ::rmdir(m_process.noticesFolder.c_str());
    m_process.noticesFolder.clear();
}

bool WineHost::exitedLocked()
{
    int status;
    if (!m_process.exited && ::waitpid(m_process.pid, &status, WNOHANG) == m_process.pid)
        m_process.exited = true;
    return m_process.exited;
}

void WineHost::report(const std::string &what) const { std::fprintf(stderr, "%s: %s\n", m_plan.dll.c_str(), what.c_str()); }

bool WineHost::preparingPrefix()
{
    std::lock_guard<std::mutex> lock(m_ioLock);
    return m_process.pid >= 0 && m_process.newPrefix && !m_process.ready;
}

bool WineHost::writeLocked(int fd, const Frame &frame)
{
    if (fd < 0)
        return false;
    const auto bytes = encode(frame);
    return writeAll(fd, bytes.data(), bytes.size());
}

WineHost::Read WineHost::readFrame(int fd, Decoder &decoder, Clock::time_point until, Frame &frame)
{
    std::uint8_t chunk[kMaxPayload + kHeaderSize];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return Read::TimedOut;
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return Read::Dead;
        if (rc == 0)
            return Read::TimedOut;
        // Only as much as the frame needs: a second frame is never in flight.
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Read::Dead;
        const std::size_t taken = decoder.feed(chunk, static_cast<std::size_t>(n));
        if (decoder.state() == Decoder::State::Malformed || taken != static_cast<std::size_t>(n))
            return Read::Garbage;
        if (decoder.state() == Decoder::State::FrameReady) {
            frame = decoder.take();
            return Read::Frame;
        }
    }
}

std::uint8_t WineHost::call(const CallRequest &request, Reply &reply)
{
    auto end = Clock::now() + std::chrono::milliseconds(request.budgetMs);
    std::unique_lock<std::timed_mutex> turn(m_callLock, std::defer_lock);
    if (!turn.try_lock_until(end))
        return TESSALIN_TIME_OUT;

    int out;
    bool ready, newPrefix;
    {
        std::lock_guard<std::mutex> lock(m_ioLock);
        // A host that ended between calls (killed, or its DLL's own thread
        // crashed) is noticed here: the call that finds it fails as a lost
        // link does in-process, and a connect starts a new one.
        if (m_process.closing || (m_process.pid >= 0 && exitedLocked())) {
            const bool lost = !m_process.closing;
            endLocked(false);
            if (lost && request.type != Type::Connect)
                return TESSALIN_LINK_DOWN;
        }
        if (m_process.pid < 0) {
            // Only a connect brings a link, so only a connect starts a host:
            // without one there is no link to read or write.
            if (request.type != Type::Connect)
                return TESSALIN_LINK_DOWN;
            std::string refusal;
            const std::string prefix = choosePrefix(refusal);
            if (prefix.empty()) {
                report(refusal);
                return TESSALIN_LINK_DOWN;
            }
            startLocked(prefix);
            if (m_process.pid < 0)
                return TESSALIN_LINK_DOWN;
        }
        out = m_process.out;
        ready = m_process.ready;
        newPrefix = m_process.newPrefix;
    }
    // A host that failed the call is ended, so the next connect starts afresh.
    const auto giveUp = [this](std::uint8_t code) {
        std::lock_guard<std::mutex> lock(m_ioLock);
        // Ended by DLLClose from another thread: nothing to kill, it ends by itself.
        if (m_process.closing)
            return code;
        endLocked(true);
        return code;
    };

    Frame frame;
    if (!ready) {
        const Read got = readFrame(out, m_process.decoder, Clock::now() + (newPrefix ? kNewPrefixBound : kStartBound), frame);
        if (got == Read::Frame && frame.type == Type::Failed) {
            report(decodeFailed(frame));
            return giveUp(TESSALIN_LINK_DOWN);
        }
        int bits = 0;
        if (got == Read::Frame && frame.type == Type::Ready && (!decodeReady(frame, bits) || bits != m_plan.bits)) {
            report("the Wine host runs " + std::to_string(bits) + "-bit code for a " + std::to_string(m_plan.bits)
                   + "-bit DLL");
            return giveUp(TESSALIN_LINK_DOWN);
        }
        if (got != Read::Frame || frame.type != Type::Ready) {
            if (got == Read::TimedOut)
                report("the Wine host did not start in time (does the DLL's start-up code, DllMain, return?)");
            else
                report("the Wine host ended at its start (is Wine working? try: WINEPREFIX=" + m_process.prefix + " "
                       + m_plan.loader + " wineboot)");
            return giveUp(TESSALIN_LINK_DOWN);
        }
        {
            std::lock_guard<std::mutex> lock(m_ioLock);
            m_process.ready = true;
            dropNoticesFolder();   // the host has it open
        }
        // Waiting for the host was not the call's time.
        end = Clock::now() + std::chrono::milliseconds(request.budgetMs);
    }
    {
        std::unique_lock<std::mutex> lock(m_ioLock);
        if (m_process.closing)
            return TESSALIN_LINK_DOWN;
        if (!writeLocked(m_process.in, encodeCall(request))) {
            lock.unlock();
            return giveUp(TESSALIN_LINK_DOWN);
        }
        m_process.inCall = true;
    }
    const auto ended = [this] {
        std::lock_guard<std::mutex> lock(m_ioLock);
        m_process.inCall = false;
    };
    switch (readFrame(out, m_process.decoder, end + kGrace, frame)) {
    case Read::Frame:
        break;
    case Read::TimedOut:
        return giveUp(TESSALIN_TIME_OUT);
    case Read::Dead:
        return giveUp(TESSALIN_LINK_DOWN);
    case Read::Garbage:
        return giveUp(TESSALIN_RECEIVE_ERROR);
    }
    ended();
    if (frame.type == Type::Failed) {
        // The DLL crashed: said where, at the code a broken link has.
        report(decodeFailed(frame));
        return giveUp(TESSALIN_LINK_DOWN);
    }
    if (!decodeResult(frame, reply))
        return giveUp(TESSALIN_RECEIVE_ERROR);
    return TESSALIN_SUCCESS;
}

void WineHost::notify(Type type)
{
    std::lock_guard<std::mutex> lock(m_ioLock);
    if (m_process.pid < 0 || m_process.closing)
        return;
    // During a call the loading thread is busy in the DLL: the notice goes
    // to the host's other thread. Otherwise it queues behind the calls.
    writeLocked(m_process.inCall ? m_process.notices : m_process.in, Frame{type, 0, {}});
}

void WineHost::finish()
{
    std::lock_guard<std::mutex> lock(m_ioLock);
    if (m_process.pid < 0 || m_process.closing)
        return;
    // Both, so that the host ends even while its loading thread hangs in the DLL.
    ::close(m_process.in);
    ::close(m_process.notices);
    m_process.in = m_process.notices = -1;
    m_process.closing = true;
}

} // namespace pnv::winebridge
