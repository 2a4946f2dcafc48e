#pragma once
// Accepts library connections and gives each its own ClientSession.

#include "ClientSession.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

namespace pnvsim {

class EncoderDevice;

class EncoderServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EncoderServer)

public:
    EncoderServer(EncoderDevice &device, SessionLimits limits, QObject *parent = nullptr);

    // Returns an error text, empty when listening.
    QString listen(const QHostAddress &address, quint16 port);
    quint16 port() const { return m_server.serverPort(); }

private:
    void acceptPending();

    static constexpr int kMaxSessions = 64;
    EncoderDevice &m_device;
    SessionLimits m_limits;
    QTcpServer m_server;
    int m_sessions = 0;
};

} // namespace pnvsim
