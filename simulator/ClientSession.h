#pragma once
// One connection from a library: decodes its frames, answers them through the
// EncoderDevice, and drops the client when it stalls or misbehaves.

#include "WireFrame.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

namespace pnv::sim {

// One line per connection event and per request, as each ends
// ("pnv3400.sim.session"); QT_LOGGING_RULES="pnv3400.sim.session.info=false"
// silences it.
Q_DECLARE_LOGGING_CATEGORY(sessionLog)

class EncoderDevice;

struct SessionLimits {
    int clientTimeoutMs = 5000;            // handshake, and each frame once begun
    int idleTimeoutMs = 2 * 60 * 1000;     // between requests, once linked: a technician's pause at the window
    qint64 maxPendingOutput = 64 * 1024;   // a client that does not read its answers
};

class ClientSession final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientSession)

public:
    ClientSession(QTcpSocket *socket, EncoderDevice &device, SessionLimits limits, QObject *parent = nullptr);
    ~ClientSession() override;

    // Milliseconds since the client last sent a byte; 0 while bytes wait to be read.
    qint64 idleMs() const;
    // True once the client has closed or reset its end, whether or not the
    // event loop has seen it yet.
    bool peerGone() const;
    // Ends the session to make room for a newcomer (the server is full).
    void giveWay(const QString &why);

signals:
    void finished();

private:
    void readIncoming();
    void handleFrame(const tessalin::wire::Frame &frame);
    void answer(const tessalin::wire::Frame &request, tessalin::wire::MessageType type,
                std::vector<std::uint8_t> payload, bool withFaults);
    void transmit(std::vector<std::uint8_t> bytes, bool withFaults);
    void drop(const QString &why);
    void finish();
    void rearmTimer();
    void log(const QString &message) const;

    QTcpSocket *m_socket = nullptr;
    EncoderDevice &m_device;
    SessionLimits m_limits;
    tessalin::wire::FrameDecoder m_decoder;
    QTimer m_timer;
    QElapsedTimer m_lastHeard;
    QString m_peer;
    bool m_linked = false;
    bool m_timingFrame = false;
    bool m_dropped = false;
    bool m_finished = false;
};

} // namespace pnv::sim
