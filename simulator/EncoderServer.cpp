#include "EncoderServer.h"

#include <QTcpSocket>

namespace pnvsim {

EncoderServer::EncoderServer(EncoderDevice &device, SessionLimits limits, QObject *parent)
    : QObject(parent), m_device(device), m_limits(limits)
{
    connect(&m_server, &QTcpServer::newConnection, this, &EncoderServer::acceptPending);
}

QString EncoderServer::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server.listen(address, port))
        return QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(m_server.errorString());
    return {};
}

void EncoderServer::acceptPending()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        if (m_sessions >= kMaxSessions) {
            // Many idle clients must not starve the process of descriptors.
            qCWarning(sessionLog).noquote() << QStringLiteral("refusing %1:%2: %3 clients already")
                                                   .arg(socket->peerAddress().toString())
                                                   .arg(socket->peerPort())
                                                   .arg(m_sessions);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_sessions;
        auto *session = new ClientSession(socket, m_device, m_limits, this);
        connect(session, &ClientSession::finished, this, [this, session] {
            --m_sessions;
            session->deleteLater();
        });
    }
}

} // namespace pnvsim
