#include "EncoderLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessalin {
namespace {

constexpr int kCancelled = -2;

// Waits for `events` until the deadline. 1: ready (or hung up), 0: timed out,
// -1: error, kCancelled: another thread disconnected while we waited.
int waitFor(int fd, short events, const Deadline &deadline, short *revents = nullptr)
{
    for (;;) {
        if (deadline.cancelled())
            return kCancelled;
        pollfd p[2] = {{fd, events, 0}, {deadline.wakeFd(), POLLIN, 0}};   // a negative fd is skipped
        const int rc = ::poll(p, 2, deadline.remainingMs());
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc > 0 && (p[1].revents & POLLIN)) {
            // Drain first, then look: a disconnect after the drain signals again.
            std::uint64_t count;
            (void)!::read(deadline.wakeFd(), &count, sizeof count);
            if (deadline.cancelled())
                return kCancelled;
            if (p[0].revents == 0)
                continue;   // a disconnect from before this call began
        }
        if (revents)
            *revents = p[0].revents;
        return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
    }
}

Outcome waitFailure(int ready)
{
    if (ready == kCancelled)
        return Outcome::Cancelled;
    return ready == 0 ? Outcome::TimedOut : Outcome::Failed;
}

bool isPeerGoneError(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == ETIMEDOUT
           || error == EHOSTUNREACH || error == ENETUNREACH || error == ECONNABORTED;
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
    if (m_fd < 0)
        return false;
    pollfd p{m_fd, POLLIN, 0};
    int rc;
    do
        rc = ::poll(&p, 1, 0);
    while (rc < 0 && errno == EINTR);
    if (rc <= 0)
        return rc == 0;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
        return false;
    std::uint8_t byte;
    const ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0)
        return false;   // orderly close or half-close: no reply can come any more
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    return true;        // stray bytes: alive, and the next exchange will reject them
}

Outcome EncoderLink::open(std::uint32_t address, std::uint16_t port, const Deadline &deadline)
{
    closeSocket();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return Outcome::Failed;
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    int rc;
    do
        rc = ::connect(m_fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
    while (rc < 0 && errno == EINTR);
    if (rc < 0 && errno != EINPROGRESS) {
        closeSocket();
        return Outcome::Failed;
    }
    if (rc < 0) {
        const int ready = waitFor(m_fd, POLLOUT, deadline);
        if (ready != 1) {
            closeSocket();
            return waitFailure(ready);
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0 || error != 0) {
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
    if (m_fd < 0)
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
    std::uint8_t byte;
    const ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return Outcome::Malformed;
    if (n == 0)
        return Outcome::PeerClosed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return Outcome::Ok;
    return Outcome::PeerClosed;
}

Outcome EncoderLink::sendAll(const std::uint8_t *data, std::size_t size, const Deadline &deadline)
{
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(m_fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = waitFor(m_fd, POLLOUT, deadline);
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
        short revents = 0;
        const int ready = waitFor(m_fd, POLLIN, deadline, &revents);
        if (ready != 1)
            return waitFailure(ready);
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0)
            return Outcome::PeerClosed;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return isPeerGoneError(errno) ? Outcome::PeerClosed : Outcome::Failed;
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
    if (m_fd < 0)
        return;
    const auto bye = wire::encodeFrame({static_cast<std::uint8_t>(wire::MessageType::Bye), m_nextSequence++, {}});
    // Best effort: a full send buffer or a dead peer must not delay the caller.
    (void)::send(m_fd, bye.data(), bye.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    closeSocket();
}

void EncoderLink::closeSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace tessalin
