#pragma once
// What the Windows host, the DLL and Wine print: the host hands the DLL its
// standard error as output and error, a pipe apart from the call channel.
// Each line goes on with the DLL's name in front to the program's log sink
// (by default our standard error). One thread per host, asleep until there
// is something to read, so an idle host costs no wake-ups.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace pnv::winebridge {

using LogSink = void (*)(void *context, const char *line);
// Where the lines go from now on; null restores the default.
void setLogSink(LogSink sink, void *context);
// One line of the bridge's own to the same sink.
void logLine(const std::string &line);

class LogRelay final {
public:
    // Takes `fd`, the pipe's reading end.
    LogRelay(int fd, std::string prefix);
    // Hands on what has already arrived, then stops, whether or not the
    // pipe's writers (the host, what the DLL started, a wineserver) are done.
    ~LogRelay();
    LogRelay(const LogRelay &) = delete;
    LogRelay &operator=(const LogRelay &) = delete;
    // The last lines the host printed, oldest first, joined by " / ": what a
    // runtime says as it ends the process (an uncaught exception's text,
    // "abnormal program termination") names the failure. Waits a moment for
    // what the pipe still holds once the host has ended.
    std::string lastWords();

private:
    void run();
    void emit(std::string &line);

    int m_fd;
    int m_stop[2] = {-1, -1};
    std::string m_prefix;
    std::mutex m_wordsLock;
    std::deque<std::string> m_lastWords;
    bool m_drained = false;
    std::condition_variable m_drainedChanged;
    std::thread m_thread;
};

} // namespace pnv::winebridge
