#include "EncoderServer.h"

#include <QTcpSocket>

#include <algorithm>

namespace pnv::sim {

EncoderServer::EncoderServer(EncoderDevice &device, SessionLimits limits, QObject *parent)
    : QObject(parent), m_device(device), m_limits(limits)
{
    m_server.setListenBacklogSize(kListenBacklog);
    m_retry.setSingleShot(true);
    connect(&m_server, &QTcpServer::newConnection, this, &EncoderServer::acceptPending);
    connect(&m_retry, &QTimer::timeout, this, &EncoderServer::acceptPending);
}

QString EncoderServer::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server.listen(address, port))
        return QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(m_server.errorString());
    return {};
}

void EncoderServer::acceptPending()
{
    while (m_server.hasPendingConnections()) {
        if (m_sessions.size() >= static_cast<std::size_t>(kMaxSessions) && !makeRoom()) {
            // The rest wait in the kernel's queue, costing us no descriptor.
            m_server.pauseAccepting();
            return;
        }
        QTcpSocket *socket = m_server.nextPendingConnection();
        auto *session = new ClientSession(socket, m_device, m_limits, this);
        m_sessions.push_back(session);
        connect(session, &ClientSession::finished, this, [this, session] { sessionFinished(session); });
    }
    m_server.resumeAccepting();
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
    // Not from inside the session's own handler: the newcomer waits one turn of the loop.
    QMetaObject::invokeMethod(this, &EncoderServer::acceptPending, Qt::QueuedConnection);
}

} // namespace pnv::sim
