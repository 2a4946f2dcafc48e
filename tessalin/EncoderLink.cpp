#include "EncoderLink.h"

#include "Platform.h"

namespace tessalin {
namespace {

namespace os = platform;

constexpr int kCancelled = -2;

// Waits for `want` until the deadline. 1: ready (or hung up), 0: timed out,
// -1: error, kCancelled: another thread disconnected while we waited.
int waitFor(os::Socket socket, unsigned want, const Deadline &deadline, unsigned *seen = nullptr)
{
    os::WakeSignal *wake = deadline.wake();
    const os::Socket wakeHandle = wake ? wake->handle() : os::kNoSocket;
    for (;;) {
        if (deadline.cancelled())
            return kCancelled;
        unsigned ready = 0;
        bool woken = false;
        const int rc = os::waitSocket(socket, want, wakeHandle, deadline.remainingMs(), ready, woken);
        if (rc > 0 && woken) {
            // Drain first, then look: a disconnect after the drain signals again.
            wake->drain();
            if (deadline.cancelled())
                return kCancelled;
            if (ready == 0)
                continue;   // a disconnect from before this call began
        }
        if (seen)
            *seen = ready;
        return rc;
    }
}

Outcome waitFailure(int ready)
{
    if (ready == kCancelled)
        return Outcome::Cancelled;
    return ready == 0 ? Outcome::TimedOut : Outcome::Failed;
}

} // namespace

std::uint8_t resultCode(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok:
        return TESSALIN_SUCCESS;
    case Outcome::PeerClosed:
    case Outcome::Failed:
    case Outcome::Cancelled:
        return TESSALIN_LINK_DOWN;
    case Outcome::TimedOut:
        return TESSALIN_TIME_OUT;
    case Outcome::Malformed:
    case Outcome::WrongSequence:
    case Outcome::BadChecksum:
        return TESSALIN_RECEIVE_ERROR;
    }
    return TESSALIN_RECEIVE_ERROR;
}

EncoderLink::~EncoderLink() { closeSocket(); }

bool EncoderLink::isAlive() const
{
    if (m_fd == os::kNoSocket)
        return false;
    unsigned seen = 0;
    bool woken = false;
    const int rc = os::waitSocket(m_fd, os::Readable, os::kNoSocket, 0, seen, woken);
    if (rc <= 0)
        return rc == 0;
    if (seen & os::HungUp)
        return false;
    std::uint8_t byte;
    const long n = os::receiveSome(m_fd, &byte, 1, true);
    if (n == 0)
        return false;   // orderly close or half-close: no reply can come any more
    if (n < 0)
        return n == os::kWouldBlock;
    return true;        // stray bytes: alive, and the next exchange will reject them
}

Outcome EncoderLink::open(std::uint32_t address, std::uint16_t port, const Deadline &deadline)
{
    closeSocket();
    m_fd = os::openStream();
    if (m_fd == os::kNoSocket)
        return Outcome::Failed;
    const os::Connect started = os::startConnect(m_fd, address, port);
    if (started == os::Connect::Failed) {
        closeSocket();
        return Outcome::Failed;
    }
    if (started == os::Connect::Pending) {
        const int ready = waitFor(m_fd, os::Writable, deadline);
        if (ready != 1) {
            closeSocket();
            return waitFailure(ready);
        }
        if (!os::connectSucceeded(m_fd)) {
            closeSocket();
            return Outcome::Failed;
        }
    }
    m_nextSequence = 1;
    return Outcome::Ok;
}

Outcome EncoderLink::exchange(wire::MessageType requestType, const std::uint8_t *payload, std::size_t length,
                              wire::MessageType replyType, const Deadline &deadline, wire::Frame &reply)
{
    if (m_fd == os::kNoSocket)
        return Outcome::PeerClosed;
    wire::Frame request;
    request.type = static_cast<std::uint8_t>(requestType);
    request.sequence = m_nextSequence++;
    request.payload.assign(payload, payload + length);
    const auto bytes = wire::encodeFrame(request);

    Outcome outcome = discardStrayBytes();
    if (outcome == Outcome::Ok)
        outcome = sendAll(bytes.data(), bytes.size(), deadline);
    if (outcome == Outcome::Ok)
        outcome = receiveFrame(deadline, reply);
    if (outcome == Outcome::Ok && reply.type != static_cast<std::uint8_t>(replyType))
        outcome = Outcome::Malformed;
    if (outcome == Outcome::Ok && reply.sequence != request.sequence)
        outcome = Outcome::WrongSequence;
    if (outcome == Outcome::Cancelled)
        close();   // the disconnect asked for a goodbye
    else if (outcome != Outcome::Ok)
        closeSocket();
    return outcome;
}

Outcome EncoderLink::discardStrayBytes()
{
    // The encoder never speaks unasked; bytes waiting here are a late reply
    // or noise, and either would be mistaken for the coming answer.
    switch (os::unreadBytes(m_fd)) {
    case os::Waiting::Nothing:
        return Outcome::Ok;
    case os::Waiting::Bytes:
        return Outcome::Malformed;
    case os::Waiting::Closed:
        break;
    }
    return Outcome::PeerClosed;
}

Outcome EncoderLink::sendAll(const std::uint8_t *data, std::size_t size, const Deadline &deadline)
{
    std::size_t sent = 0;
    while (sent < size) {
        const long n = os::sendSome(m_fd, data + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n == os::kWouldBlock) {
            const int ready = waitFor(m_fd, os::Writable, deadline);
            if (ready != 1)
                return waitFailure(ready);
            continue;
        }
        return Outcome::PeerClosed;
    }
    return Outcome::Ok;
}

Outcome EncoderLink::receiveFrame(const Deadline &deadline, wire::Frame &frame)
{
    wire::FrameDecoder decoder;
    std::uint8_t chunk[wire::kHeaderSize + wire::kMaxPayload];
    for (;;) {
        const int ready = waitFor(m_fd, os::Readable, deadline);
        if (ready != 1)
            return waitFailure(ready);
        const long n = os::receiveSome(m_fd, chunk, sizeof chunk, false);
        if (n == 0)
            return Outcome::PeerClosed;
        if (n < 0) {
            if (n == os::kWouldBlock)
                continue;
            return n == os::kPeerGone ? Outcome::PeerClosed : Outcome::Failed;
        }
        const std::size_t taken = decoder.feed(chunk, static_cast<std::size_t>(n));
        switch (decoder.state()) {
        case wire::FrameDecoder::State::NeedMore:
            continue;
        case wire::FrameDecoder::State::Malformed:
            return Outcome::Malformed;
        case wire::FrameDecoder::State::BadChecksum:
            return Outcome::BadChecksum;
        case wire::FrameDecoder::State::FrameReady:
            // One request, one frame: anything after it is not from a sound encoder.
            if (taken != static_cast<std::size_t>(n))
                return Outcome::Malformed;
            frame = decoder.takeFrame();
            return Outcome::Ok;
        }
    }
}

void EncoderLink::close()
{
    if (m_fd == os::kNoSocket)
        return;
    const auto bye = wire::encodeFrame({static_cast<std::uint8_t>(wire::MessageType::Bye), m_nextSequence++, {}});
    // Best effort: a full send buffer or a dead peer must not delay the caller.
    (void)os::sendSome(m_fd, bye.data(), bye.size());
    closeSocket();
}

void EncoderLink::closeSocket()
{
    os::closeSocket(m_fd);
    m_fd = os::kNoSocket;
}

} // namespace tessalin
