#pragma once
// The one TCP link to an encoder: connect with the handshake, and bounded
// request/reply exchanges. Every wait is bounded by the caller's Deadline.

#include "Deadline.h"
#include "Platform.h"
#include "WireFrame.h"

#include <cstdint>

namespace tessalin {

enum class Outcome { Ok, PeerClosed, TimedOut, Malformed, WrongSequence, BadChecksum, Failed,
                     Cancelled };   // another thread disconnected during the call

// The result code a failed outcome gives the caller.
std::uint8_t resultCode(Outcome outcome);

class EncoderLink final {
public:
    EncoderLink() = default;
    ~EncoderLink();
    EncoderLink(const EncoderLink &) = delete;
    EncoderLink &operator=(const EncoderLink &) = delete;

    bool isOpen() const { return m_fd != platform::kNoSocket; }
    // True while the link is open and the encoder has neither closed nor reset it.
    bool isAlive() const;

    // Opens the TCP connection; the handshake is an exchange on top of it.
    Outcome open(std::uint32_t address, std::uint16_t port, const Deadline &deadline);

    // Sends one request and waits for the reply of `replyType` with the same
    // sequence number. Any outcome but Ok closes the link.
    Outcome exchange(wire::MessageType requestType, const std::uint8_t *payload, std::size_t length,
                     wire::MessageType replyType, const Deadline &deadline, wire::Frame &reply);

    // Tells the encoder goodbye without waiting, then closes.
    void close();

private:
    Outcome discardStrayBytes();
    Outcome sendAll(const std::uint8_t *data, std::size_t size, const Deadline &deadline);
    Outcome receiveFrame(const Deadline &deadline, wire::Frame &frame);
    void closeSocket();

    platform::Socket m_fd = platform::kNoSocket;
    std::uint16_t m_nextSequence = 1;
};

} // namespace tessalin
