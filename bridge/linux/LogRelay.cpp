#include "LogRelay.h"

#include "ControlCharacters.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

void logLine(const std::string &line)
{
    std::lock_guard<std::mutex> lock(g_sinkLock);
    (g_sink ? g_sink : toStandardError)(g_context, line.c_str());
}

std::string LogRelay::lastWords()
{
    std::unique_lock<std::mutex> lock(m_wordsLock);
    // The pipe ends when the host and all it started are gone; what the DLL
    // started may hold it longer, so this waits a moment only.
    m_drainedChanged.wait_for(lock, std::chrono::milliseconds(500), [this] { return m_drained; });
    std::string words;
    for (const std::string &line : m_lastWords)
        words += (words.empty() ? "" : " / ") + line;
    return words;
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

// The line as the project's messages show text: what a terminal would take
// as a control (common/ControlCharacters.h) written out as \uXXXX, a
// backslash doubled, bytes that are not UTF-8 as U+FFFD.
namespace {
std::string printableLine(const std::string &line)
{
    std::string out;
    out.reserve(line.size());
    for (std::size_t i = 0; i < line.size();) {
        const auto lead = static_cast<unsigned char>(line[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead & 0xe0) == 0xc0 && lead >= 0xc2 ? 2 : (lead & 0xf0) == 0xe0 ? 3
                                   : (lead & 0xf8) == 0xf0 && lead <= 0xf4 ? 4 : 0;
        bool whole = length > 0 && i + length <= line.size();
        char32_t point = length == 1 ? lead : lead & (length == 2 ? 0x1f : length == 3 ? 0x0f : 0x07);
        for (std::size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(line[i + k]);
            whole = (next & 0xc0) == 0x80;
            point = (point << 6) | (next & 0x3f);
        }
        if (!whole) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (point == '\\') {
            out += "\\\\";
        } else if (isControlCharacter(point)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(point));
            out += escaped;
        } else {
            out.append(line, i, length);
        }
        i += length;
    }
    return out;
}
} // namespace

void LogRelay::emit(std::string &line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty())
        return;
    line = printableLine(line);
    const std::string text = m_prefix + line;
    {
        std::lock_guard<std::mutex> lock(m_wordsLock);
        m_lastWords.push_back(line);
        if (m_lastWords.size() > 3)
            m_lastWords.pop_front();
    }
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
    std::lock_guard<std::mutex> lock(m_wordsLock);
    m_drained = true;
    m_drainedChanged.notify_all();
}

} // namespace pnv::winebridge
