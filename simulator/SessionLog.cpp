#include "SessionLog.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace pnv::sim {

Q_LOGGING_CATEGORY(sessionLog, "pnv3400.sim.session")

namespace {

// "yyyy-MM-ddTHH:mm:ss" of the second last seen; the milliseconds are added per line.
struct SecondStamp {
    time_t second = -1;
    char text[32] = {};
    int length = 0;
};

int formatStamp(char *out)
{
    static SecondStamp cached;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cached.second) {
        static const bool zoneRead = (::tzset(), true);   // once: localtime_r does not look again
        (void)zoneRead;
        tm local{};
        ::localtime_r(&now.tv_sec, &local);
        cached.length = static_cast<int>(std::strftime(cached.text, sizeof cached.text, "%Y-%m-%dT%H:%M:%S", &local));
        cached.second = now.tv_sec;
    }
    std::memcpy(out, cached.text, static_cast<std::size_t>(cached.length));
    char *p = out + cached.length;
    const long ms = now.tv_nsec / 1000000;
    *p++ = '.';
    *p++ = static_cast<char>('0' + ms / 100);
    *p++ = static_cast<char>('0' + ms / 10 % 10);
    *p++ = static_cast<char>('0' + ms % 10);
    *p++ = ' ';
    return static_cast<int>(p - out);
}

// Copies ASCII text; false (nothing promised about `out`) when the text holds
// anything else or does not fit.
bool appendAscii(char *&out, const char *end, QStringView text)
{
    if (text.size() > end - out)
        return false;
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
        *out++ = static_cast<char>(c.unicode());
    }
    return true;
}

void writeWhole(const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;   // nowhere to log to: the simulator serves on regardless
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

} // namespace

void logSessionLine(const QByteArray &peer, QStringView what, QStringView detail)
{
    if (!sessionLog().isInfoEnabled())
        return;
    static const bool patterned = !qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN");
    if (!patterned) {
        char line[512];
        char *p = line + formatStamp(line);
        const char *end = line + sizeof line - 1;   // room for the newline
        if (peer.size() + 1 < end - p) {
            std::memcpy(p, peer.constData(), static_cast<std::size_t>(peer.size()));
            p += peer.size();
            *p++ = ' ';
            if (appendAscii(p, end, what) && appendAscii(p, end, detail)) {
                *p++ = '\n';
                writeWhole(line, static_cast<std::size_t>(p - line));
                return;
            }
        }
        // Long or not ASCII: rare, so no effort is saved.
        QByteArray whole(line, formatStamp(line));
        whole += peer + ' ' + what.toUtf8() + detail.toUtf8() + '\n';
        writeWhole(whole.constData(), static_cast<std::size_t>(whole.size()));
        return;
    }
    qCInfo(sessionLog).noquote() << QString::fromUtf8(peer) << (what.toString() + detail.toString());
}

} // namespace pnv::sim
