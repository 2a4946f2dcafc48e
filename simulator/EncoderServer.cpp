#include "EncoderServer.h"

#include "SocketWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

namespace pnv::sim {

EncoderServer::EncoderServer(EncoderDevice &device, SessionLimits limits, QObject *parent)
    : QObject(parent), m_devices{&device}, m_limits(limits)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &EncoderServer::acceptPending);
}

EncoderServer::~EncoderServer()
{
    // The sessions close their own sockets as the QObject children go.
    stopListening();
}

void EncoderServer::stopListening()
{
    m_retry.stop();
    delete std::exchange(m_acceptWatch, nullptr);
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

QString EncoderServer::listen(const QHostAddress &address, quint16 port)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(v4);
        length = sizeof *in;
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof in6->sin6_addr);
        bool numeric = false;
        in6->sin6_scope_id = address.scopeId().toUInt(&numeric);
        if (!numeric && !address.scopeId().isEmpty())
            in6->sin6_scope_id = ::if_nametoindex(address.scopeId().toLocal8Bit().constData());
        length = sizeof *in6;
    }
    const auto failed = [&](const char *step) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return QStringLiteral("cannot listen on %1:%2: %3: %4").arg(address.toString()).arg(port).arg(
            QLatin1String(step), reason);
    };
    m_fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return failed("socket");
    const int on = 1;
    // A restart finds the port free although the last run's connections linger in TIME_WAIT.
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!isV4)
        ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&storage), length) != 0)
        return failed("bind");
    if (::listen(m_fd, kListenBacklog) != 0)
        return failed("listen");
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&bound), &boundLength) != 0)
        return failed("getsockname");
    m_port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in *>(&bound)->sin_port
                                              : reinterpret_cast<const sockaddr_in6 *>(&bound)->sin6_port);
    m_acceptWatch = new SocketWatch(m_fd, SocketWatch::Read, [this] { acceptPending(); }, this);
    return {};
}

void EncoderServer::acceptPending()
{
    if (m_fd < 0)
        return;
    for (;;) {
        if (m_sessions.size() >= static_cast<std::size_t>(kMaxSessions) && !makeRoom()) {
            // The rest wait in the kernel's queue, costing us no descriptor.
            m_acceptWatch->setEnabled(false);
            return;
        }
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr *>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Level-triggered, the queue would wake us at once and for ever.
                m_acceptWatch->setEnabled(false);
                m_retry.start(kOutOfDescriptorsRetryMs);
                return;
            }
            break;   // nothing waits
        }
        const int on = 1;
        // Each answer leaves in one send, whole: nothing gains by waiting for more.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
        const quint16 port = ntohs(peer.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in *>(&peer)->sin_port
                                                             : reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
        auto *session = new ClientSession(fd, QStringLiteral("%1:%2").arg(address.toString()).arg(port).toUtf8(),
                                          *m_devices[m_nextDevice++ % m_devices.size()], m_limits, this);
        m_sessions.push_back(session);
        connect(session, &ClientSession::finished, this, [this, session] { sessionFinished(session); });
    }
    m_acceptWatch->setEnabled(true);
}

bool EncoderServer::makeRoom()
{
    const std::size_t before = m_sessions.size();
    const std::vector<ClientSession *> sessions = m_sessions;   // giving way changes the list
    for (ClientSession *session : sessions)
        if (session->peerGone())
            session->giveWay(QStringLiteral("closed by the client, slot freed for a newcomer"));
    if (m_sessions.size() < before)
        return true;

    ClientSession *idlest = nullptr;
    qint64 longest = -1;
    for (ClientSession *session : m_sessions) {
        const qint64 idle = session->idleMs();
        if (idle > longest) {
            longest = idle;
            idlest = session;
        }
    }
    if (idlest && longest >= kGiveWayAfterMs) {
        qCWarning(sessionLog).noquote() << QStringLiteral("all %1 sessions taken: the one idle for %2 ms gives way")
                                               .arg(kMaxSessions)
                                               .arg(longest);
        idlest->giveWay(QStringLiteral("gives way to a newcomer"));
        return m_sessions.size() < before;
    }
    m_retry.start(static_cast<int>(kGiveWayAfterMs - std::max<qint64>(longest, 0)));
    return false;
}

void EncoderServer::sessionFinished(ClientSession *session)
{
    m_sessions.erase(std::remove(m_sessions.begin(), m_sessions.end(), session), m_sessions.end());
    session->deleteLater();
    if (m_sessions.empty())
        emit allSessionsEnded();
    // Not from inside the session's own handler: the newcomer waits one turn of the loop.
    QMetaObject::invokeMethod(this, &EncoderServer::acceptPending, Qt::QueuedConnection);
}

} // namespace pnv::sim
