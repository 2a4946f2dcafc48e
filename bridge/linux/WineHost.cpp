#include "WineHost.h"

#include "CallFailure.h"
#include "LinuxSystem.h"
#include "WinePaths.h"
#include "WineServer.h"
#include "tessalin_bridge.h"
#include "tessalin_codes.h"

#include <fcntl.h>
#include <poll.h>
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
// Beyond the call's own budget: our stand-in answers a time-out itself, and
// the pipe round trip through Wine needs its moment.
constexpr std::chrono::milliseconds kGrace{750};
// A vendor's DLL keeps its own time (a Winsock connect to a dead host gives
// up after about 21 s, a write may store for seconds): the bridge ends a call
// only when it has plainly hung. TESSALIN_BRIDGE_HANG_GUARD_S sets it.
constexpr int kHangGuardSeconds = 60;
// While the DLL shows a window (a message box, a dialog) the user answers it,
// at the user's pace: the guard waits, up to this.
constexpr std::chrono::hours kWindowBound{8};

int hangGuardSeconds()
{
    const char *text = std::getenv("TESSALIN_BRIDGE_HANG_GUARD_S");
    char *end = nullptr;
    const long seconds = text && *text ? std::strtol(text, &end, 10) : 0;
    return end && *end == '\0' && seconds >= 1 && seconds <= 86400 ? static_cast<int>(seconds) : kHangGuardSeconds;
}

const char *entryPointOf(Type type)
{
    return type == Type::Connect ? "S_Connect" : type == Type::Read ? "ConfigRead" : "ConfigWrite";
}

// What tells a file replaced or rewritten since: its inode, size and change time.
std::string fileIdentity(const std::string &path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return "gone";
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":"
           + std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
}

std::string describeEnd(int status)
{
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // Windows' C runtimes end a program with 3 on abort() and on a C++
    // exception nobody caught.
    return "exit code " + std::to_string(code)
           + (code == 3 ? std::string(", as abort() or a C++ exception nobody caught ends a program") : std::string());
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


} // namespace

WineHost::WineHost(HostPlan plan) : m_plan(std::move(plan)), m_planned(fileIdentity(m_plan.absolute)) {}

bool WineHost::replanLocked(std::string &refusal)
{
    const std::string now = fileIdentity(m_plan.absolute);
    if (now == m_planned)
        return true;
    if (now == "gone") {
        refusal = "the DLL is gone (deleted or moved since it was bound)";
        return false;
    }
    std::string error;
    HostPlan fresh = planHost(m_plan.dll, ownFolder(), error);
    if (fresh.dll.empty()) {
        const std::string named = m_plan.dll + ": ";
        refusal = "the DLL changed on disk since it was bound, and now "
                  + (error.rfind(named, 0) == 0 ? error.substr(named.size()) : error);
        return false;
    }
    if (fresh.bits != m_plan.bits)
        logLine(m_plan.dll + ": the DLL changed on disk since it was bound and is now " + std::to_string(fresh.bits)
                + "-bit: a " + std::to_string(fresh.bits) + "-bit host loads it");
    m_plan = std::move(fresh);
    m_planned = now;
    return true;
}

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
    launchLocked(refusal);
}

std::vector<std::string> WineHost::hostEnvironment() const
{
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
    if (!debugSet)
        env.push_back("WINEDEBUG=-all");
    // A new prefix would otherwise offer to download .NET and HTML engines.
    if (!overridesSet)
        env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    return env;
}

bool WineHost::launchLocked(std::string &refusal)
{
    // Looking for the prefix's wineserver, starting one and the host joining
    // it are one step for every program of ours, whatever its namespace: two
    // started at the same instant would otherwise each find none, and one
    // host would join the other namespace's wineserver.
    if (!replanLocked(refusal))
        return false;
    const PrefixLock lock(m_plan.prefix, Clock::now() + kStartBound);
    if (!lock.held()) {
        refusal = "the Wine prefix " + m_plan.prefix + " stayed locked by another start of ours";
        return false;
    }
    m_serverStarts.erase(std::remove_if(m_serverStarts.begin(), m_serverStarts.end(),
                                        [](pid_t pid) { int status; return ::waitpid(pid, &status, WNOHANG) != 0; }),
                         m_serverStarts.end());
    const std::vector<std::string> env = hostEnvironment();
    const std::string prefix = servePrefix(m_plan.prefix, m_plan.loader, env, kServerStaysSeconds, refusal, m_serverStarts);
    if (prefix.empty())
        return false;
    startLocked(prefix, env);
    return m_process.pid >= 0;
}

void WineHost::startLocked(const std::string &prefix, std::vector<std::string> env)
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
        report(TESSALIN_BRIDGE_FAILURE_HOST, std::string("cannot make the host's notice channel: ") + std::strerror(errno));
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

    env.push_back("WINEPREFIX=" + prefix);
    // The caller's locale stays: it gives the DLL its ANSI code page, and the
    // paths were checked against it at binding.
    std::string loader = m_plan.loader, exe = m_plan.hostExe, dll = m_plan.windowsPath, notices = windowsPath(fifo);
    std::vector<char *> envp;
    for (auto &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    char *argv[] = {loader.data(), exe.data(), dll.data(), notices.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHost[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromHost[1], 1);
    // Never our own standard error: what Wine and the DLL print, and what
    // they start (a wineserver too) holds, is the log pipe.
    posix_spawn_file_actions_adddup2(&actions, log[1], 2);
    // The DLL's folder, as the program it was written for is started from
    // its own: a DLL that opens .\\Tessalin.ini finds it.
    posix_spawn_file_actions_addchdir_np(&actions, m_plan.folder.c_str());
    // Only its three: a descriptor of the caller's that is not close-on-exec
    // (a lock, a socket) would otherwise live as long as the host and what
    // the DLL starts.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
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
        report(TESSALIN_BRIDGE_FAILURE_HOST, std::string("cannot start ") + loader + ": " + std::strerror(rc));
        ::close(toHost[1]);
        ::close(fromHost[0]);
        ::close(log[0]);
        ::close(m_process.notices);
        dropNoticesFolder();
        m_process = Process{};
        return;
    }
    m_process.pid = pid;
    m_process.loaded = fileIdentity(m_plan.absolute);
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
    if (!m_process.exited && ::waitpid(m_process.pid, &m_process.status, WNOHANG) == m_process.pid)
        m_process.exited = true;
    return m_process.exited;
}

void WineHost::report(int kind, const std::string &what) const
{
    const std::string line = m_plan.dll + ": " + what;
    logLine(line);
    recordFailure(kind, line + (m_windowShown.empty() ? std::string() : " (" + m_windowShown + ")"));
}

std::string WineHost::howItEnded(pid_t pid, const std::unique_ptr<LogRelay> &log)
{
    // Its output closed: the process is ending, and is waited for a moment.
    int status = 0;
    bool gone = ::waitpid(pid, &status, WNOHANG) == pid;
    if (!gone) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            while (::poll(&p, 1, 1000) < 0 && errno == EINTR) {
            }
            ::close(pidfd);
        }
        gone = ::waitpid(pid, &status, WNOHANG) == pid;
    }
    std::string how = gone ? describeEnd(status) : std::string("still ending");
    if (gone) {
        std::lock_guard<std::mutex> lock(m_ioLock);
        if (m_process.pid == pid)
            m_process.exited = true;
    }
    const std::string words = log ? log->lastWords() : std::string();
    return how + (words.empty() ? std::string() : "; its last output: " + words);
}

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
    // A word of the DLL's windows may come in one read with what follows it.
    std::vector<std::uint8_t> &pending = m_process.pending;
    const auto take = [&decoder, &pending, &frame](const std::uint8_t *bytes, std::size_t size) {
        const std::size_t taken = decoder.feed(bytes, size);
        if (decoder.state() == Decoder::State::Malformed)
            return Read::Garbage;
        std::vector<std::uint8_t> rest(bytes + taken, bytes + size);
        pending.swap(rest);
        if (decoder.state() != Decoder::State::FrameReady)
            return Read::TimedOut;   // more to read
        frame = decoder.take();
        return Read::Frame;
    };
    if (!pending.empty()) {
        const std::vector<std::uint8_t> held = pending;
        if (const Read got = take(held.data(), held.size()); got != Read::TimedOut)
            return got;
    }
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
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Read::Dead;
        if (const Read got = take(chunk, static_cast<std::size_t>(n)); got != Read::TimedOut)
            return got;
    }
}

WineHost::Read WineHost::awaitFrame(int fd, Clock::duration guard, const char *entry, Frame &frame)
{
    auto until = Clock::now() + guard;
    for (;;) {
        const Read got = readFrame(fd, m_process.decoder, until, frame);
        bool shown = false;
        std::string text;
        if (got != Read::Frame || frame.type != Type::Window)
            return got;
        if (!decodeWindow(frame, shown, text))
            return Read::Garbage;
        if (shown) {
            const std::string line = "during " + std::string(entry) + " it shows a window, " + text;
            logLine(m_plan.dll + ": " + line + " (waiting for it to be answered)");
            m_windowShown = line;
            until = Clock::now() + kWindowBound;
        } else {
            until = Clock::now() + guard;
        }
    }
}

std::uint8_t WineHost::call(const CallRequest &request, Reply &reply)
{
    auto end = Clock::now() + std::chrono::milliseconds(request.budgetMs);
    std::unique_lock<std::timed_mutex> turn(m_callLock, std::defer_lock);
    if (!turn.try_lock_until(end))
        return TESSALIN_TIME_OUT;

    clearLastFailure();
    m_windowShown.clear();
    int out;
    bool ready, newPrefix;
    {
        std::lock_guard<std::mutex> lock(m_ioLock);
        // A host that ended between calls (killed, or its DLL's own thread
        // crashed) is noticed here: the call that finds it fails as a lost
        // link does in-process, and a connect starts a new one.
        if (m_process.closing || (m_process.pid >= 0 && exitedLocked())) {
            const bool lost = !m_process.closing;
            if (lost) {
                // The account of the call it fails; a connect starts afresh, and the log keeps it.
                const std::string words = m_process.log ? m_process.log->lastWords() : std::string();
                // A thread of the DLL's that crashed said so before the host ended.
                Frame said;
                const bool crashed = readFrame(m_process.out, m_process.decoder, Clock::now() + std::chrono::milliseconds(100),
                                               said) == Read::Frame && said.type == Type::Failed;
                const std::string what = (crashed ? decodeFailed(said) + ", and its Wine host ended ("
                                                  : std::string("its Wine host ended between calls ("))
                                         + describeEnd(m_process.status)
                                         + (words.empty() ? std::string() : "; its last output: " + words) + ")";
                if (request.type == Type::Connect)
                    logLine(m_plan.dll + ": " + what + "; a new one starts");
                else
                    report(TESSALIN_BRIDGE_FAILURE_DLL, what + "; the next S_Connect starts a new one");
            }
            endLocked(false);
            if (lost && request.type != Type::Connect)
                return TESSALIN_LINK_DOWN;
        }
        // A DLL rewritten in place while its host runs would crash it (Windows
        // refuses such a write): a connect starts a host that loads it anew.
        if (m_process.pid >= 0 && request.type == Type::Connect && fileIdentity(m_plan.absolute) != m_process.loaded) {
            logLine(m_plan.dll + ": the DLL changed on disk since its Wine host loaded it; a new host loads it now");
            endLocked(false);
        }
        if (m_process.pid < 0) {
            // Only a connect brings a link, so only a connect starts a host:
            // without one there is no link to read or write.
            if (request.type != Type::Connect)
                return TESSALIN_LINK_DOWN;
            std::string refusal;
            if (!launchLocked(refusal)) {
                if (!refusal.empty())
                    report(TESSALIN_BRIDGE_FAILURE_HOST, refusal);
                return TESSALIN_LINK_DOWN;
            }
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
        const Read got = awaitFrame(out, newPrefix ? Clock::duration(kNewPrefixBound) : Clock::duration(kStartBound),
                                    "its start-up code (DllMain)", frame);
        if (got == Read::Frame && frame.type == Type::Failed) {
            report(TESSALIN_BRIDGE_FAILURE_DLL, decodeFailed(frame));
            return giveUp(TESSALIN_LINK_DOWN);
        }
        int bits = 0;
        if (got == Read::Frame && frame.type == Type::Ready && (!decodeReady(frame, bits) || bits != m_plan.bits)) {
            report(TESSALIN_BRIDGE_FAILURE_HOST, "the Wine host runs " + std::to_string(bits) + "-bit code for a " + std::to_string(m_plan.bits)
                   + "-bit DLL");
            return giveUp(TESSALIN_LINK_DOWN);
        }
        if (got != Read::Frame || frame.type != Type::Ready) {
            if (got == Read::TimedOut)
                report(TESSALIN_BRIDGE_FAILURE_HOST,
                       "the Wine host did not start in time (does the DLL's start-up code, DllMain, return?)");
            else
                report(TESSALIN_BRIDGE_FAILURE_HOST, "the Wine host ended at its start ("
                                                         + howItEnded(m_process.pid, m_process.log)
                                                         + "; is Wine working? try: WINEPREFIX=" + m_process.prefix
                                                         + " " + m_plan.loader + " wineboot)");
            return giveUp(TESSALIN_LINK_DOWN);
        }
        // Joined to a wineserver of another namespace after all (one
        // started meanwhile by a program that is not ours): no call may
        // reach that namespace's encoders.
        if (const std::string foreign = foreignServer(m_process.prefix); !foreign.empty()) {
            report(TESSALIN_BRIDGE_FAILURE_HOST, foreign);
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
            // The host ended as the call was sent (its DLL's own thread
            // crashed a moment before, say): named as a host found gone
            // between calls is, never a lost link without an account.
            const pid_t pid = m_process.pid;
            lock.unlock();
            Frame said;
            const bool crashed = readFrame(out, m_process.decoder, Clock::now() + std::chrono::milliseconds(100), said)
                                     == Read::Frame
                                 && said.type == Type::Failed;
            report(TESSALIN_BRIDGE_FAILURE_DLL,
                   (crashed ? decodeFailed(said) + ", and its Wine host ended ("
                            : "its Wine host ended before " + std::string(entryPointOf(request.type)) + " reached it (")
                       + howItEnded(pid, m_process.log) + "); the next S_Connect starts a new one");
            return giveUp(TESSALIN_LINK_DOWN);
        }
        m_process.inCall = true;
    }
    const auto ended = [this] {
        std::lock_guard<std::mutex> lock(m_ioLock);
        m_process.inCall = false;
    };
    // The DLL's own time, up to the hang guard; our stand-in's budget when that is longer.
    const int guard = hangGuardSeconds();
    const auto watchdog = std::max(std::chrono::duration_cast<Clock::duration>(end + kGrace - Clock::now()),
                                   Clock::duration(std::chrono::seconds(guard)));
    const char *entry = entryPointOf(request.type);
    switch (awaitFrame(out, watchdog, entry, frame)) {
    case Read::Frame:
        break;
    case Read::TimedOut:
        report(TESSALIN_BRIDGE_FAILURE_HUNG, std::string(entry) + " did not return within " + std::to_string(guard)
                                                 + " s; its Wine host was ended, and what the call did is not known");
        return giveUp(TESSALIN_TIME_OUT);
    case Read::Dead: {
        bool closing;
        pid_t pid;
        {
            std::lock_guard<std::mutex> lock(m_ioLock);
            closing = m_process.closing;
            pid = m_process.pid;
        }
        if (!closing)   // DLLClose from another thread ends it as asked
            report(TESSALIN_BRIDGE_FAILURE_DLL, std::string("its Wine host ended during ") + entry + " ("
                                                    + howItEnded(pid, m_process.log) + ")");
        return giveUp(TESSALIN_LINK_DOWN);
    }
    case Read::Garbage:
        report(TESSALIN_BRIDGE_FAILURE_HOST, std::string("the Wine host answered ") + entry
                                                 + " with something that is not the bridge's framing; it was ended");
        return giveUp(TESSALIN_RECEIVE_ERROR);
    }
    ended();
    if (frame.type == Type::Failed) {
        // The DLL crashed: said where, at the code a broken link has, with
        // what it printed last (a C++ runtime's text of an uncaught exception).
        const std::string words = m_process.log ? m_process.log->lastWords() : std::string();
        report(TESSALIN_BRIDGE_FAILURE_DLL, decodeFailed(frame) + (words.empty() ? std::string() : "; its last output: " + words));
        return giveUp(TESSALIN_LINK_DOWN);
    }
    // A second answer is never in flight: whatever follows one is not ours.
    if (!decodeResult(frame, reply) || !m_process.pending.empty())
        return giveUp(TESSALIN_RECEIVE_ERROR);
    // What its window said is the call's account, whatever the call returns.
    if (!m_windowShown.empty())
        recordFailure(TESSALIN_BRIDGE_FAILURE_WINDOW, m_plan.dll + ": " + m_windowShown);
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
