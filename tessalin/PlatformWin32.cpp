#include "Platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace tessalin::platform {
namespace {

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

bool isPeerGoneError(int error)
{
    return error == WSAECONNRESET || error == WSAENOTCONN || error == WSAETIMEDOUT || error == WSAEHOSTUNREACH
           || error == WSAENETUNREACH || error == WSAECONNABORTED || error == WSAENETRESET
           || error == WSAESHUTDOWN;
}

bool makeNonBlocking(SOCKET s)
{
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

} // namespace

bool startSockets()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

Socket openStream()
{
    if (!startSockets())
        return kNoSocket;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    if (!makeNonBlocking(s)) {
        ::closesocket(s);
        return kNoSocket;
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    return static_cast<Socket>(s);
}

void closeSocket(Socket socket)
{
    if (socket != kNoSocket)
        ::closesocket(sock(socket));
}

Connect startConnect(Socket socket, std::uint32_t address, std::uint16_t port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    if (::connect(sock(socket), reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0)
        return Connect::Done;
    const int error = ::WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS ? Connect::Pending : Connect::Failed;
}

bool connectSucceeded(Socket socket)
{
    int error = 0;
    int size = sizeof error;
    return ::getsockopt(sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) == 0
           && error == 0;
}

// Windows has no event descriptor that a socket wait can watch, so the
// wake-up is a datagram socket connected to itself on loopback: raising it
// sends one byte, which makes it readable.
WakeSignal::WakeSignal()
{
    if (!startSockets())
        return;
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof self;
    if (::bind(s, reinterpret_cast<const sockaddr *>(&self), sizeof self) != 0
        || ::getsockname(s, reinterpret_cast<sockaddr *>(&self), &size) != 0
        || ::connect(s, reinterpret_cast<const sockaddr *>(&self), sizeof self) != 0 || !makeNonBlocking(s)) {
        ::closesocket(s);
        return;
    }
    m_read = m_write = static_cast<Socket>(s);
}

WakeSignal::~WakeSignal() { closeSocket(m_read); }

void WakeSignal::raise()
{
    if (m_write != kNoSocket) {
        const char one = 1;
        ::send(sock(m_write), &one, 1, 0);
    }
}

void WakeSignal::drain()
{
    if (m_read == kNoSocket)
        return;
    char bytes[64];
    while (::recv(sock(m_read), bytes, sizeof bytes, 0) > 0) {
    }
}

int waitSocket(Socket socket, unsigned want, Socket wake, int timeoutMs, unsigned &seen, bool &woken)
{
    WSAPOLLFD p[2] = {};
    ULONG count = 0;
    int socketIndex = -1;
    int wakeIndex = -1;
    if (socket != kNoSocket) {
        p[count] = {sock(socket), static_cast<SHORT>((want & Readable ? POLLRDNORM : 0) | (want & Writable ? POLLWRNORM : 0)), 0};
        socketIndex = static_cast<int>(count++);
    }
    if (wake != kNoSocket) {
        p[count] = {sock(wake), POLLRDNORM, 0};
        wakeIndex = static_cast<int>(count++);
    }
    if (count == 0) {
        ::Sleep(static_cast<DWORD>(timeoutMs));
        return 0;
    }
    const int rc = ::WSAPoll(p, count, timeoutMs);
    if (rc <= 0)
        return rc < 0 ? -1 : 0;
    woken = wakeIndex >= 0 && (p[wakeIndex].revents & POLLRDNORM) != 0;
    seen = 0;
    if (socketIndex >= 0) {
        const SHORT r = p[socketIndex].revents;
        if (r & POLLRDNORM)
            seen |= Readable;
        if (r & POLLWRNORM)
            seen |= Writable;
        if (r & (POLLHUP | POLLERR | POLLNVAL))
            seen |= HungUp;
    }
    return 1;
}

long sendSome(Socket socket, const std::uint8_t *data, std::size_t size)
{
    // Windows sockets raise no signal on a broken connection.
    const int n = ::send(sock(socket), reinterpret_cast<const char *>(data), static_cast<int>(size), 0);
    if (n >= 0)
        return n;
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR)
        return kWouldBlock;
    return kPeerGone;
}

long receiveSome(Socket socket, std::uint8_t *data, std::size_t size, bool peek)
{
    const int n = ::recv(sock(socket), reinterpret_cast<char *>(data), static_cast<int>(size), peek ? MSG_PEEK : 0);
    if (n >= 0)
        return n;
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR)
        return kWouldBlock;
    return isPeerGoneError(error) ? kPeerGone : kFailed;
}

// A peek at an empty socket costs Wine a trip to its server and back, about a
// third of a whole exchange; the count of waiting bytes comes from the system
// directly. A closed link then shows in the exchange itself.
Waiting unreadBytes(Socket socket)
{
    u_long count = 0;
    if (::ioctlsocket(sock(socket), FIONREAD, &count) != 0)
        return Waiting::Closed;
    return count > 0 ? Waiting::Bytes : Waiting::Nothing;
}

} // namespace tessalin::platform
