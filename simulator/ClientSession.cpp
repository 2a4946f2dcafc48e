#include "ClientSession.h"

#include "EncoderDevice.h"
#include "NetworkConfig.h"

#include <QTcpSocket>

#include <cerrno>
#include <sys/socket.h>

namespace pnv::sim {

Q_LOGGING_CATEGORY(sessionLog, "pnv3400.sim.session")

namespace wire = tessalin::wire;

ClientSession::ClientSession(QTcpSocket *socket, EncoderDevice &device, SessionLimits limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_device(device), m_limits(limits)
{
    m_socket->setParent(this);
    m_peer = QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        drop(m_linked ? (m_timingFrame ? QStringLiteral("frame not completed in time") : QStringLiteral("idle too long"))
                      : QStringLiteral("no handshake in time"));
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientSession::readIncoming);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_dropped)
            log(QStringLiteral("closed by the client"));
        m_dropped = true;
        m_timer.stop();
        finish();
    });
    m_timer.start(m_limits.clientTimeoutMs);
    m_lastHeard.start();
    log(QStringLiteral("connected"));
    // A connection that waited for a free slot may have said everything, or
    // hung up, before these connections existed: no signal would tell us again.
    QMetaObject::invokeMethod(this, [this] {
        if (m_socket->bytesAvailable() > 0)
            readIncoming();
        if (!m_dropped && m_socket->state() == QAbstractSocket::UnconnectedState)
            drop(QStringLiteral("closed by the client while waiting for a slot"));
    }, Qt::QueuedConnection);
}

ClientSession::~ClientSession() = default;

qint64 ClientSession::idleMs() const
{
    if (m_socket->bytesAvailable() > 0)
        return 0;
    const qintptr fd = m_socket->socketDescriptor();
    std::uint8_t byte;
    if (fd >= 0 && ::recv(static_cast<int>(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
        return 0;
    return m_lastHeard.elapsed();
}

bool ClientSession::peerGone() const
{
    if (m_dropped)
        return true;
    const qintptr fd = m_socket->socketDescriptor();
    if (fd < 0)
        return true;
    std::uint8_t byte;
    const ssize_t n = ::recv(static_cast<int>(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return false;   // a request (perhaps the last one) still to be answered
    if (n == 0)
        return true;    // the client closed its end: no request of it can follow
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

void ClientSession::giveWay(const QString &why)
{
    if (!m_dropped) {
        drop(why);
        return;
    }
    // Already on its way out, its goodbye or refusal still being sent: the
    // slot is needed now, so the session ends here.
    m_socket->abort();
    finish();
}

void ClientSession::readIncoming()
{
    m_lastHeard.restart();
    std::uint8_t chunk[4096];
    while (!m_dropped && m_socket->bytesAvailable() > 0) {
        const qint64 n = m_socket->read(reinterpret_cast<char *>(chunk), sizeof chunk);
        if (n <= 0)
            break;
        std::size_t offset = 0;
        while (!m_dropped && offset < static_cast<std::size_t>(n)) {
            offset += m_decoder.feed(chunk + offset, static_cast<std::size_t>(n) - offset);
            switch (m_decoder.state()) {
            case wire::FrameDecoder::State::NeedMore:
                break;
            case wire::FrameDecoder::State::Malformed:
                drop(QStringLiteral("malformed frame"));
                return;
            case wire::FrameDecoder::State::BadChecksum:
                drop(QStringLiteral("bad checksum"));
                return;
            case wire::FrameDecoder::State::FrameReady:
                m_timingFrame = false;
                handleFrame(m_decoder.takeFrame());
                break;
            }
        }
    }
    if (!m_dropped)
        rearmTimer();
}

void ClientSession::rearmTimer()
{
    if (!m_linked)
        return;   // the handshake deadline runs from the connection on, whatever arrives
    if (m_decoder.inFrame()) {
        if (!m_timingFrame) {
            m_timingFrame = true;
            m_timer.start(m_limits.clientTimeoutMs);
        }
        return;
    }
    m_timer.start(m_limits.idleTimeoutMs);
}

void ClientSession::handleFrame(const wire::Frame &frame)
{
    const auto type = static_cast<wire::MessageType>(frame.type);
    if (!m_linked && type != wire::MessageType::Hello) {
        drop(QStringLiteral("request before the handshake"));
        return;
    }
    switch (type) {
    case wire::MessageType::Hello: {
        if (frame.payload.size() != 4) {
            drop(QStringLiteral("malformed HELLO"));
            return;
        }
        const auto mode = static_cast<std::int32_t>((std::uint32_t{frame.payload[0]} << 24)
                                                    | (std::uint32_t{frame.payload[1]} << 16)
                                                    | (std::uint32_t{frame.payload[2]} << 8) | frame.payload[3]);
        const bool accepted = mode == TESSALIN_CONNECT_MODE;
        const std::uint8_t status = accepted ? TESSALIN_SUCCESS : TESSALIN_VERIFY_ERROR;
        log(QStringLiteral("HELLO mode %1 -> status %2").arg(mode).arg(status));
        answer(frame, wire::MessageType::HelloReply,
               {status, static_cast<std::uint8_t>(wire::kModelNumber >> 8),
                static_cast<std::uint8_t>(wire::kModelNumber & 0xFF)},
               false);
        if (!accepted) {
            m_dropped = true;
            m_timer.stop();
            m_socket->disconnectFromHost();   // after the refusal has gone out
            return;
        }
        m_linked = true;
        m_timer.stop();
        return;
    }
    case wire::MessageType::Read: {
        if (!frame.payload.empty()) {
            drop(QStringLiteral("malformed READ"));
            return;
        }
        EncoderDevice::Answer result = m_device.read();
        log(QStringLiteral("READ -> %1").arg(result.note));
        answer(frame, wire::MessageType::ReadReply, std::move(result.payload), true);
        return;
    }
    case wire::MessageType::Write: {
        if (frame.payload.size() != TESSALIN_CONFIG_REQUEST_SIZE) {
            drop(QStringLiteral("malformed WRITE"));
            return;
        }
        EncoderDevice::Answer result = m_device.write(frame.payload.data());
        log(QStringLiteral("WRITE -> %1").arg(result.note));
        answer(frame, wire::MessageType::WriteReply, std::move(result.payload), true);
        return;
    }
    case wire::MessageType::Bye:
        log(QStringLiteral("BYE"));
        m_dropped = true;
        m_timer.stop();
        m_socket->disconnectFromHost();
        return;
    default:
        drop(QStringLiteral("unknown message type 0x%1").arg(frame.type, 2, 16, QLatin1Char('0')));
        return;
    }
}

void ClientSession::answer(const wire::Frame &request, wire::MessageType type, std::vector<std::uint8_t> payload,
                           bool withFaults)
{
    const FaultPlan &faults = m_device.faults();
    wire::Frame reply{static_cast<std::uint8_t>(type), request.sequence, std::move(payload)};
    if (withFaults && faults.wrongSequence)
        reply.sequence = static_cast<std::uint16_t>(reply.sequence + 1);
    std::vector<std::uint8_t> bytes = wire::encodeFrame(reply);
    if (withFaults && faults.badChecksum)
        bytes[wire::kHeaderSize - 1] ^= 0xFF;
    if (withFaults && faults.noReply)
        return;
    if (withFaults && faults.delayMs > 0) {
        QTimer::singleShot(faults.delayMs, this, [this, bytes = std::move(bytes)]() mutable {
            if (!m_dropped)
                transmit(std::move(bytes), true);
        });
        return;
    }
    transmit(std::move(bytes), withFaults);
}

void ClientSession::transmit(std::vector<std::uint8_t> bytes, bool withFaults)
{
    const FaultPlan &faults = m_device.faults();
    std::optional<int> limit;
    if (withFaults)
        limit = faults.closeAfter ? faults.closeAfter : faults.cutAfter;
    const std::size_t count = limit ? std::min(bytes.size(), static_cast<std::size_t>(*limit)) : bytes.size();
    m_socket->write(reinterpret_cast<const char *>(bytes.data()), static_cast<qint64>(count));
    // Out now, not at the next turn of the event loop: the client waits for
    // nothing else.
    m_socket->flush();
    if (withFaults && faults.closeAfter) {
        log(QStringLiteral("closing after %1 bytes of the answer (fault)").arg(count));
        m_dropped = true;
        m_timer.stop();
        m_socket->disconnectFromHost();
        return;
    }
    if (m_socket->bytesToWrite() > m_limits.maxPendingOutput)
        drop(QStringLiteral("does not read its answers"));
}

void ClientSession::drop(const QString &why)
{
    if (m_dropped)
        return;
    m_dropped = true;
    m_timer.stop();
    log(QStringLiteral("dropped: %1").arg(why));
    m_socket->abort();
    finish();
}

void ClientSession::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}

// One whole line per event, written at once. A request's line goes out just
// before its answer, so a client holding the answer finds the line in the
// log. The timestamp comes from the message pattern main() sets.
void ClientSession::log(const QString &message) const
{
    qCInfo(sessionLog).noquote() << m_peer << message;
}

} // namespace pnv::sim
