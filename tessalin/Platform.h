#pragma once
// The only place where the library meets the operating system: TCP sockets,
// waiting with a deadline, and the wake-up a disconnect from another thread
// sends to a call in progress. Linux (PlatformPosix.cpp) and Windows
// (PlatformWin32.cpp) each provide one; every line of protocol code above it
// is shared.

#include <cstddef>
#include <cstdint>

namespace tessalin::platform {

// A socket, whatever the system calls it (a descriptor or a SOCKET handle).
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Sockets need a start on some systems; false when they cannot be used.
bool startSockets();

// A non-blocking TCP socket with small writes sent at once, or kNoSocket.
Socket openStream();
void closeSocket(Socket socket);

enum class Connect { Done, Pending, Failed };
Connect startConnect(Socket socket, std::uint32_t address, std::uint16_t port);
// After a pending connect became writable: did it succeed?
bool connectSucceeded(Socket socket);

// What a wait saw on the socket.
enum Ready : unsigned { Readable = 1, Writable = 2, HungUp = 4 };

// The wake-up: a handle that becomes readable when raised, so that a wait on
// a socket also ends when another thread disconnects.
class WakeSignal final {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    bool valid() const { return m_read != kNoSocket; }
    Socket handle() const { return m_read; }
    void raise();
    void drain();

private:
    Socket m_read = kNoSocket;
    Socket m_write = kNoSocket;
};

// Waits until `socket` is ready for `want` (Readable or Writable), the wake
// handle is raised, or `timeoutMs` passes. Returns 1 with `seen` (a Ready
// mask, 0 when only the wake-up came) and `woken`, 0 on time-out, -1 on error.
// An interrupted wait is resumed here, never reported.
int waitSocket(Socket socket, unsigned want, Socket wake, int timeoutMs, unsigned &seen, bool &woken);

// Results of sendSome/receiveSome below zero.
inline constexpr long kWouldBlock = -1;
inline constexpr long kPeerGone = -2;   // reset, aborted, unreachable: the link is lost
inline constexpr long kFailed = -3;

// Sends without blocking and without raising a signal: bytes sent or a code above.
long sendSome(Socket socket, const std::uint8_t *data, std::size_t size);
// Receives without blocking: bytes received, 0 when the peer closed, or a code above.
long receiveSome(Socket socket, std::uint8_t *data, std::size_t size, bool peek);

// Whether bytes wait unread before a request is sent. Closed when the system
// tells it cheaply; otherwise the exchange finds the closed link itself.
enum class Waiting { Nothing, Bytes, Closed };
Waiting unreadBytes(Socket socket);

} // namespace tessalin::platform
