#pragma once
// One connection from a library: decodes its frames, answers them through the
// EncoderDevice, and drops the client when it stalls or misbehaves.
//
// The session owns its socket descriptor and talks to the kernel itself: one
// recv per batch of requests, one send per answer, no buffer in between but
// what the kernel would not take yet.

#include "SessionLog.h"
#include "WireFrame.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <vector>

namespace pnv::sim {

class EncoderDevice;
class SocketWatch;

struct SessionLimits {
    int clientTimeoutMs = 5000;            // handshake, and each frame once begun
    int idleTimeoutMs = 2 * 60 * 1000;     // between requests, once linked: a technician's pause at the window
    qint64 maxPendingOutput = 64 * 1024;   // a client that does not read its answers
};

class ClientSession final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientSession)

public:
    // Takes over `fd`, a connected non-blocking socket; `peer` is "ADDRESS:PORT" for the log.
    ClientSession(int fd, QByteArray peer, EncoderDevice &device, SessionLimits limits, QObject *parent = nullptr);
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

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void readIncoming();
    void writePending();
    // Sends what the kernel takes now; how much, or -1 when the client is gone.
    qint64 sendNow(const char *data, std::size_t size);
    void handleFrame(const tessalin::wire::Frame &frame);
    void answer(const tessalin::wire::Frame &request, tessalin::wire::MessageType type,
                std::vector<std::uint8_t> payload, bool withFaults);
    void transmit(std::vector<std::uint8_t> bytes, bool withFaults);
    void closeAfterAnswers();
    void drop(const QString &why);
    void clientClosed();
    void closeSocket();
    void finish();
    void rearmDeadline();
    void setDeadline(qint64 dueMs);
    void stopDeadline();
    void log(QStringView what, QStringView detail = {}) const { logSessionLine(m_peer, what, detail); }

    int m_fd = -1;
    SocketWatch *m_readWatch = nullptr;
    SocketWatch *m_writeWatch = nullptr;   // enabled only while m_pending holds bytes
    QByteArray m_pending;                  // answers the kernel would not take yet
    EncoderDevice &m_device;
    SessionLimits m_limits;
    tessalin::wire::FrameDecoder m_decoder;
    // The deadline moves with each request as a number; the timer, set for an
    // earlier moment, finds it moved when it fires and waits again.
    QBasicTimer m_timer;
    qint64 m_deadlineMs = 0;
    qint64 m_timerDueMs = 0;
    qint64 m_lastHeardMs = 0;
    QByteArray m_peer;
    bool m_linked = false;
    bool m_timingFrame = false;
    bool m_dropped = false;        // no more requests are handled
    bool m_closeWhenSent = false;  // closes once m_pending is out
    bool m_finished = false;
};

} // namespace pnv::sim
