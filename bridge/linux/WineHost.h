#pragma once
// One Windows host process under Wine, serving one DLL to this process:
// checked when created, started without waiting, restarted by the next
// connect after it died, ended when its input closes.

#include "BridgeFrame.h"
#include "HostPlan.h"
#include "LogRelay.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pnv::winebridge {

class WineHost final {
public:
    static std::shared_ptr<WineHost> create(const std::string &dll, std::string &error);
    explicit WineHost(HostPlan plan);
    ~WineHost();
    WineHost(const WineHost &) = delete;
    WineHost &operator=(const WineHost &) = delete;

    // Starts the host unless one runs; does not wait for it.
    void start();
    // One call within its budget (budgetMs of the request, counted from now).
    // TESSALIN_SUCCESS with the reply, or the code the caller gets instead.
    std::uint8_t call(const CallRequest &request, Reply &reply);
    // S_Disconnect and DLLClose: sent at once, even during another thread's call.
    void notify(Type type);
    // Closes the host's input: it ends by itself.
    void finish();
    // Whether the host now starting is making a new Wine prefix, which takes
    // far longer than a start on a prefix made before.
    bool preparingPrefix();

private:
    struct Process {
        pid_t pid = -1;
        int in = -1;        // the host's standard input: the calls, and notices between calls
        int notices = -1;   // a FIFO: S_Disconnect and DLLClose during a call, and the end
        int out = -1;       // the host's standard output: its replies
        std::string prefix;   // the shared one, or this network namespace's own
        std::string noticesFolder;   // the FIFO's private folder, removed once the host has it open
        bool ready = false;
        bool inCall = false;
        bool closing = false;
        bool newPrefix = false;
        std::string loaded;    // the DLL's identity on disk when the host started
        bool exited = false;   // reaped already
        int status = 0;        // then, how it ended
        Decoder decoder;
        std::vector<std::uint8_t> pending;   // read beyond the last frame
        std::unique_ptr<LogRelay> log;
    };
    using Clock = std::chrono::steady_clock;

    // Finds or starts the wineserver and starts the host, in one step; false
    // and why not (empty when said already).
    bool launchLocked(std::string &refusal);
    std::vector<std::string> hostEnvironment() const;
    void startLocked(const std::string &prefix, std::vector<std::string> env);
    void endLocked(bool kill);
    bool exitedLocked();
    void dropNoticesFolder();
    // To the log and as the last call's failure (TESSALIN_BRIDGE_FAILURE_*).
    void report(int kind, const std::string &what) const;
    // How a host whose output closed ended: its exit code or signal and its last lines.
    std::string howItEnded(pid_t pid, const std::unique_ptr<LogRelay> &log);
    enum class Read { Frame, Dead, TimedOut, Garbage };
    Read readFrame(int fd, Decoder &decoder, Clock::time_point until, Frame &frame);
    // The next frame but the host's word of the DLL's windows: `guard` from
    // now, waiting without end (within a bound of hours) while one is shown.
    Read awaitFrame(int fd, Clock::duration guard, const char *entry, Frame &frame);
    bool writeLocked(int fd, const Frame &frame);

    HostPlan m_plan;
    std::string m_planned;   // the DLL's identity on disk when m_plan was made
    // A DLL changed on disk since the plan was made is checked again, as at
    // binding (it may be of the other machine type now, or gone); false and why.
    bool replanLocked(std::string &refusal);
    std::string m_windowShown;   // what the DLL's window said during this call (the call turn's)
    std::timed_mutex m_callLock;   // one call at a time, as the native library takes them
    std::mutex m_ioLock;           // the process and its input
    Process m_process;
    // Hosts told to end, and by when they must have: a DLL whose
    // S_Disconnect, DLLClose or detach never returns is ended then.
    struct Ending {
        pid_t pid;
        Clock::time_point by;
    };
    static bool settle(const Ending &host, bool wait);
    std::vector<Ending> m_ending;
    // Wineservers we started that had not yet gone to the background when
    // we last looked: reaped at a later start, never left as zombies for long.
    std::vector<pid_t> m_serverStarts;
};

} // namespace pnv::winebridge
