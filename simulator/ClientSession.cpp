#include "ClientSession.h"

#include "EncoderDevice.h"
#include "NetworkConfig.h"
#include "SocketWatch.h"

#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace pnv::sim {

namespace wire = tessalin::wire;

namespace {

qint64 monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

} // namespace

ClientSession::ClientSession(int fd, QByteArray peer, EncoderDevice &device, SessionLimits limits, QObject *parent)
    : QObject(parent), m_fd(fd), m_device(device), m_limits(limits), m_peer(std::move(peer))
{
    // Readiness is level-triggered: bytes or a hang-up that came while the
    // connection waited for a slot are reported at the next turn of the loop.
    m_readWatch = new SocketWatch(fd, SocketWatch::Read, [this] { readIncoming(); }, this);
    m_writeWatch = new SocketWatch(fd, SocketWatch::Write, [this] { writePending(); }, this);
    m_writeWatch->setEnabled(false);
    m_lastHeardMs = monotonicMs();
    setDeadline(m_lastHeardMs + m_limits.clientTimeoutMs);
    log(u"connected");
}

ClientSession::~ClientSession() { closeSocket(); }

qint64 ClientSession::idleMs() const
{
    std::uint8_t byte;
    if (m_fd >= 0 && ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
        return 0;
    return monotonicMs() - m_lastHeardMs;
}

bool ClientSession::peerGone() const
{
    if (m_dropped || m_fd < 0)
        return true;
    std::uint8_t byte;
    const ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return false;   // a request (perhaps the last one) still to be answered
    if (n == 0)
        return true;    // the client closed its end: no request of it can follow
    return !wouldBlock() && errno != EINTR;
}

void ClientSession::giveWay(const QString &why)
{
    if (!m_dropped) {
        drop(why);
        return;
    }
    // Already on its way out, its goodbye or refusal still being sent: the
    // slot is needed now, so the session ends here.
    closeSocket();
    finish();
}

void ClientSession::readIncoming()
{
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && wouldBlock())
            break;
        if (n <= 0) {
            clientClosed();   // an orderly close, or a reset
            return;
        }
        m_lastHeardMs = monotonicMs();
        // Once on its way out, the session still takes in what the client
        // sends, so that closing sends a FIN rather than a reset over unread bytes.
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
        if (m_fd < 0)
            return;
        if (n < static_cast<ssize_t>(sizeof chunk))
            break;   // a short read took all there was
    }
    if (!m_dropped)
        rearmDeadline();
}

qint64 ClientSession::sendNow(const char *data, std::size_t size)
{
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(m_fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && wouldBlock())
            break;
        if (n < 0)
            return -1;
        sent += static_cast<std::size_t>(n);
    }
    return static_cast<qint64>(sent);
}

void ClientSession::writePending()
{
    const qint64 sent = sendNow(m_pending.constData(), static_cast<std::size_t>(m_pending.size()));
    if (sent < 0) {
        clientClosed();
        return;
    }
    m_pending.remove(0, sent);
    if (!m_pending.isEmpty())
        return;
    m_writeWatch->setEnabled(false);
    if (m_closeWhenSent) {
        closeSocket();
        finish();
    }
}

void ClientSession::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_timer.stop();
    const qint64 now = monotonicMs();
    if (now < m_deadlineMs) {
        setDeadline(m_deadlineMs);   // moved by requests since the timer was set
        return;
    }
    drop(m_linked ? (m_timingFrame ? QStringLiteral("frame not completed in time") : QStringLiteral("idle too long"))
                  : QStringLiteral("no handshake in time"));
}

void ClientSession::setDeadline(qint64 dueMs)
{
    m_deadlineMs = dueMs;
    if (m_timer.isActive() && m_timerDueMs <= dueMs)
        return;   // fires early, finds the deadline later and waits again
    m_timerDueMs = dueMs;
    m_timer.start(static_cast<int>(std::max<qint64>(0, dueMs - monotonicMs())), this);
}

void ClientSession::stopDeadline() { m_timer.stop(); }

void ClientSession::rearmDeadline()
{
    if (!m_linked)
        return;   // the handshake deadline runs from the connection on, whatever arrives
    if (m_decoder.inFrame()) {
        if (!m_timingFrame) {
            m_timingFrame = true;
            setDeadline(monotonicMs() + m_limits.clientTimeoutMs);
        }
        return;
    }
    setDeadline(m_lastHeardMs + m_limits.idleTimeoutMs);
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
        if (m_device.gone()) {
            drop(QStringLiteral("the encoder is gone (fault)"));
            return;
        }
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
            closeAfterAnswers();   // after the refusal has gone out
            return;
        }
        m_linked = true;
        return;
    }
    case wire::MessageType::Read: {
        if (!frame.payload.empty()) {
            drop(QStringLiteral("malformed READ"));
            return;
        }
        EncoderDevice::Answer result = m_device.read();
        log(u"READ -> ", result.note);
        answer(frame, wire::MessageType::ReadReply, std::move(result.payload), true);
        return;
    }
    case wire::MessageType::Write: {
        if (frame.payload.size() != TESSALIN_CONFIG_REQUEST_SIZE) {
            drop(QStringLiteral("malformed WRITE"));
            return;
        }
        EncoderDevice::Answer result = m_device.write(frame.payload.data());
        log(u"WRITE -> ", result.note);
        const FaultPlan &faults = m_device.faults();
        if (faults.dropAfterWrite || faults.goneAfterWrite) {
            if (faults.goneAfterWrite)
                m_device.vanish();
            drop(QStringLiteral("the link dropped before the write's answer (fault)"));
            return;
        }
        answer(frame, wire::MessageType::WriteReply, std::move(result.payload), true);
        return;
    }
    case wire::MessageType::Bye:
        log(u"BYE");
        closeAfterAnswers();
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
    const bool lateWrite = type == wire::MessageType::WriteReply && faults.lateWriteMs;
    const int delayMs = !withFaults ? 0 : lateWrite ? *faults.lateWriteMs : faults.delayMs;
    if (delayMs > 0) {
        QTimer::singleShot(delayMs, this, [this, bytes = std::move(bytes)]() mutable {
            if (!m_dropped)
                transmit(std::move(bytes), true);
        });
        return;
    }
    transmit(std::move(bytes), withFaults);
}

void ClientSession::transmit(std::vector<std::uint8_t> bytes, bool withFaults)
{
    if (m_fd < 0)
        return;
    const FaultPlan &faults = m_device.faults();
    std::optional<int> limit;
    if (withFaults)
        limit = faults.closeAfter ? faults.closeAfter : faults.cutAfter;
    const std::size_t count = limit ? std::min(bytes.size(), static_cast<std::size_t>(*limit)) : bytes.size();
    // Straight to the kernel unless earlier answers still wait: the client
    // waits for nothing else.
    std::size_t sent = 0;
    if (m_pending.isEmpty()) {
        const qint64 n = sendNow(reinterpret_cast<const char *>(bytes.data()), count);
        if (n < 0) {
            clientClosed();
            return;
        }
        sent = static_cast<std::size_t>(n);
    }
    if (sent < count) {
        m_pending.append(reinterpret_cast<const char *>(bytes.data() + sent), static_cast<qsizetype>(count - sent));
        m_writeWatch->setEnabled(true);
    }
    if (withFaults && faults.closeAfter) {
        log(QStringLiteral("closing after %1 bytes of the answer (fault)").arg(count));
        closeAfterAnswers();
        return;
    }
    if (m_pending.size() > m_limits.maxPendingOutput)
        drop(QStringLiteral("does not read its answers"));
}

void ClientSession::closeAfterAnswers()
{
    m_dropped = true;
    stopDeadline();
    if (m_fd < 0)
        return;   // the client went first
    if (!m_pending.isEmpty()) {
        m_closeWhenSent = true;
        return;
    }
    closeSocket();
    finish();
}

void ClientSession::drop(const QString &why)
{
    if (m_dropped)
        return;
    m_dropped = true;
    stopDeadline();
    log(u"dropped: ", why);
    closeSocket();
    finish();
}

void ClientSession::clientClosed()
{
    if (!m_dropped)
        log(u"closed by the client");
    m_dropped = true;
    stopDeadline();
    closeSocket();
    finish();
}

void ClientSession::closeSocket()
{
    if (m_fd < 0)
        return;
    // Off the event loop before the descriptor number can be reused.
    m_readWatch->setEnabled(false);
    m_writeWatch->setEnabled(false);
    ::close(m_fd);
    m_fd = -1;
    m_pending.clear();
}

void ClientSession::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}

} // namespace pnv::sim
