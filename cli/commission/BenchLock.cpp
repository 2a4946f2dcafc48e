#include "BenchLock.h"

#include "Messages.h"

#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pnv::ctl {
namespace {

// The holder answers between its looks; a write under way holds it a few seconds.
constexpr int kAnswerMs = 5000;

sockaddr_un lockAddress(const EncoderAddress &encoder, socklen_t &length)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = "pnv3400ctl-commission-" + encoder.text().toLatin1();
    // sun_path[0] stays 0: the abstract namespace, no file anywhere.
    const std::size_t size = std::min<std::size_t>(std::size_t(name.size()), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.constData(), size);
    length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size);
    return address;
}

// Who holds the lock: its process from the kernel, its plan from itself.
QString holder(const sockaddr_un &address, socklen_t length)
{
    // Never waits to connect: a holder whose queue is full is named by what is known.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return QStringLiteral("another commission");
    QString pid = QStringLiteral("?");
    QString plan = QStringLiteral("its plan did not say");
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0)
            pid = QString::number(peer.pid);
        QByteArray said;
        char buffer[4096];
        pollfd wait{fd, POLLIN, 0};
        while (said.size() < 8192 && ::poll(&wait, 1, kAnswerMs) == 1) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            said.append(buffer, n);
        }
        const QList<QByteArray> lines = said.split('\n');
        if (lines.size() >= 3)
            plan = QStringLiteral("plan %1").arg(printable(QString::fromUtf8(lines[1]), 1024));
    }
    ::close(fd);
    return QStringLiteral("another commission (process %1, %2)").arg(pid, plan);
}

} // namespace

BenchLock::BenchLock() = default;

BenchLock::~BenchLock()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

QString BenchLock::take(const EncoderAddress &encoder, const QString &planPath)
{
    socklen_t length = 0;
    const sockaddr_un address = lockAddress(encoder, length);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        return QStringLiteral("cannot make the commission lock: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        const int error = errno;
        ::close(m_fd);
        m_fd = -1;
        if (error != EADDRINUSE)
            return QStringLiteral("cannot take the commission lock: %1").arg(QString::fromLocal8Bit(std::strerror(error)));
        return QStringLiteral("%1 is commissioning at %2 on this computer; one at a time, or two runs give one "
                              "address to two encoders (wait for it to end, or end it)")
            .arg(holder(address, length), encoder.text());
    }
    ::listen(m_fd, 8);
    m_about = QByteArray::number(::getpid()) + '\n' + QFileInfo(planPath).absoluteFilePath().toUtf8() + '\n';
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { answer(); });
    return {};
}

void BenchLock::answer()
{
    for (;;) {
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            return;
        // Small enough for any socket buffer: one send, never a wait.
        [[maybe_unused]] const ssize_t sent = ::send(client, m_about.constData(), std::size_t(m_about.size()), MSG_NOSIGNAL);
        ::close(client);
    }
}

} // namespace pnv::ctl
