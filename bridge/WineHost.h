#pragma once
// One Windows host process under Wine, serving one DLL to this process:
// checked when created, started without waiting, restarted by the next
// connect after it died, ended when its input closes.

#include "BridgeFrame.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pnv::winebridge {

struct Reply {
    std::int32_t result = 0;
    std::vector<std::uint8_t> bytes;   // READ and WRITE: the buffer as the DLL left it
};

// Where the pieces are, all decided before any process starts.
struct HostPlan {
    std::string dll;           // as given, for messages
    std::string windowsPath;   // the DLL as the host sees it (Z:\...)
    int bits = 0;
    std::string loader;        // the Wine loader for that bitness
    std::string hostExe;
    std::string prefix;
};

// Checks the DLL, Wine and the prefix; an empty plan.dll and a message naming
// the file when something is missing. `hostDir` holds the host programs.
HostPlan planHost(const std::string &dll, const std::string &hostDir, std::string &error);

class WineHost final {
public:
    static std::shared_ptr<WineHost> create(const std::string &dll, std::string &error);
    explicit WineHost(HostPlan plan) : m_plan(std::move(plan)) {}
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

private:
    struct Process {
        pid_t pid = -1;
        int in = -1;     // the host's standard input
        int out = -1;    // the host's standard output
        bool ready = false;
        bool closing = false;
        bool newPrefix = false;
        Decoder decoder;
    };
    using Clock = std::chrono::steady_clock;

    void startLocked();
    void endLocked(bool kill);
    enum class Read { Frame, Dead, TimedOut, Garbage };
    Read readFrame(int fd, Decoder &decoder, Clock::time_point until, Frame &frame);
    bool writeLocked(const Frame &frame);

    HostPlan m_plan;
    std::timed_mutex m_callLock;   // one call at a time, as the native library takes them
    std::mutex m_ioLock;           // the process and its input
    Process m_process;
    std::vector<pid_t> m_ending;   // hosts told to end, reaped later
};

} // namespace pnv::winebridge
