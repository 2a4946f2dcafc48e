#include "LogRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace pnv::winebridge {
namespace {

// A DLL that never ends its line still gets it shown, in pieces.
constexpr std::size_t kMaxLine = 1024;

std::mutex g_sinkLock;
LogSink g_sink = nullptr;
void *g_context = nullptr;

void toStandardError(void *, const char *line) { std::fprintf(stderr, "%s\n", line); }

} // namespace

void setLogSink(LogSink sink, void *context)
{
    std::lock_guard<std::mutex> lock(g_sinkLock);
    g_sink = sink;
    g_context = context;
}

LogRelay::LogRelay(int fd, std::string prefix) : m_fd(fd), m_prefix(std::move(prefix))
{
    if (::pipe2(m_stop, O_CLOEXEC) != 0)
        m_stop[0] = m_stop[1] = -1;
    m_thread = std::thread([this] { run(); });
}

LogRelay::~LogRelay()
{
    if (m_stop[1] >= 0) {
        const char stop = 0;
        while (::write(m_stop[1], &stop, 1) < 0 && errno == EINTR) {
        }
    }
    m_thread.join();
    for (const int fd : {m_fd, m_stop[0], m_stop[1]})
        if (fd >= 0)
            ::close(fd);
}

void LogRelay::emit(std::string &line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        return;
    // Only what a terminal shows as text: a DLL's control bytes stay out.
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
            c = '?';
    const std::string text = m_prefix + line;
    line.clear();
    std::lock_guard<std::mutex> lock(g_sinkLock);
    (g_sink ? g_sink : toStandardError)(g_context, text.c_str());
}

void LogRelay::run()
{
    std::string line;
    char chunk[4096];
    bool stopping = false;
    for (;;) {
        if (!stopping) {
            pollfd p[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (::poll(p, m_stop[0] >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (p[1].revents) {
                // What is there still goes on; then no more waiting.
                stopping = true;
                ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
            }
        }
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n' || line.size() >= kMaxLine) {
                emit(line);
                if (chunk[i] == '\n')
                    continue;
            }
            line.push_back(chunk[i]);
        }
    }
    emit(line);
}

} // namespace pnv::winebridge
