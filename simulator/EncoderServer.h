#pragma once
// Accepts library connections and gives each its own ClientSession. When all
// sessions are taken, a newcomer waits in the listen queue until a slot is
// free: a session whose client has gone is freed at once, and the session
// idle the longest gives way once it has been idle for a moment.

#include "ClientSession.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <vector>

namespace pnv::sim {

class EncoderDevice;
class SocketWatch;

class EncoderServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EncoderServer)

public:
    EncoderServer(EncoderDevice &device, SessionLimits limits, QObject *parent = nullptr);
    ~EncoderServer() override;

    // Returns an error text, empty when listening.
    QString listen(const QHostAddress &address, quint16 port);
    quint16 port() const { return m_port; }
    int sessionCount() const { return static_cast<int>(m_sessions.size()); }
    // Serves `other` too, behind the same address: each new connection reaches
    // the next device in turn, as two encoders plugged in at one address
    // answer whichever ARP reply the computer last took.
    void alsoServe(EncoderDevice &other) { m_devices.push_back(&other); }
    // Closes the listening socket: newcomers are refused, as by a device that is gone.
    void stopListening();

    static constexpr int kMaxSessions = 64;
    // Bursts of a thousand connections wait here instead of being dropped by
    // the kernel and retried a second later.
    static constexpr int kListenBacklog = 1024;
    // How long a session must have been idle before it gives way to a
    // newcomer: far longer than a library takes between connecting and its
    // handshake, or between two requests it makes in a row, and short enough
    // that a newcomer queued behind hundreds of stalling clients still fits
    // in the library's 3 s budget.
    static constexpr int kGiveWayAfterMs = 250;
    // How soon accepting is tried again after the process ran out of descriptors.
    static constexpr int kOutOfDescriptorsRetryMs = 100;

signals:
    // The last session has ended; none is left.
    void allSessionsEnded();

private:
    void acceptPending();
    bool makeRoom();
    void sessionFinished(ClientSession *session);

    std::vector<EncoderDevice *> m_devices;
    std::size_t m_nextDevice = 0;
    SessionLimits m_limits;
    int m_fd = -1;
    quint16 m_port = 0;
    SocketWatch *m_acceptWatch = nullptr;   // off while the rest wait in the kernel's queue
    std::vector<ClientSession *> m_sessions;
    QTimer m_retry;   // when the longest idle session may give way
};

} // namespace pnv::sim
