#include "Platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessalin::platform {
namespace {

int fd(Socket s) { return static_cast<int>(s); }

bool isPeerGoneError(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == ETIMEDOUT
           || error == EHOSTUNREACH || error == ENETUNREACH || error == ECONNABORTED;
}

} // namespace

bool startSockets() { return true; }

Socket openStream()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return kNoSocket;
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

void closeSocket(Socket socket)
{
    if (socket != kNoSocket)
        ::close(fd(socket));
}

Connect startConnect(Socket socket, std::uint32_t address, std::uint16_t port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    int rc;
    do
        rc = ::connect(fd(socket), reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
    while (rc < 0 && errno == EINTR);
    if (rc == 0)
        return Connect::Done;
    return errno == EINPROGRESS ? Connect::Pending : Connect::Failed;
}

bool connectSucceeded(Socket socket)
{
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd(socket), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Without a descriptor (none left in the process) a disconnect still ends the
// calls waiting for their turn; the one using the link ends by its deadline.
WakeSignal::WakeSignal()
{
    const int e = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_read = m_write = e < 0 ? kNoSocket : e;
}

WakeSignal::~WakeSignal() { closeSocket(m_read); }

void WakeSignal::raise()
{
    if (m_write == kNoSocket)
        return;
    const std::uint64_t one = 1;
    (void)!::write(fd(m_write), &one, sizeof one);
}

void WakeSignal::drain()
{
    if (m_read == kNoSocket)
        return;
    std::uint64_t count;
    (void)!::read(fd(m_read), &count, sizeof count);
}

int waitSocket(Socket socket, unsigned want, Socket wake, int timeoutMs, unsigned &seen, bool &woken)
{
    for (;;) {
        // A negative descriptor is skipped by poll.
        pollfd p[2] = {{fd(socket), static_cast<short>((want & Readable ? POLLIN : 0) | (want & Writable ? POLLOUT : 0)), 0},
                       {fd(wake), POLLIN, 0}};
        const int rc = ::poll(p, 2, timeoutMs);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return rc < 0 ? -1 : 0;
        woken = (p[1].revents & POLLIN) != 0;
        seen = 0;
        if (p[0].revents & POLLIN)
            seen |= Readable;
        if (p[0].revents & POLLOUT)
            seen |= Writable;
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            seen |= HungUp;
        return 1;
    }
}

long sendSome(Socket socket, const std::uint8_t *data, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::send(fd(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kWouldBlock;
        return kPeerGone;
    }
}

long receiveSome(Socket socket, std::uint8_t *data, std::size_t size, bool peek)
{
    const ssize_t n = ::recv(fd(socket), data, size, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    if (n >= 0)
        return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return kWouldBlock;
    return isPeerGoneError(errno) ? kPeerGone : kFailed;
}

Waiting unreadBytes(Socket socket)
{
    std::uint8_t byte;
    const long n = receiveSome(socket, &byte, 1, true);
    if (n > 0)
        return Waiting::Bytes;
    return n == kWouldBlock ? Waiting::Nothing : Waiting::Closed;
}

} // namespace tessalin::platform
