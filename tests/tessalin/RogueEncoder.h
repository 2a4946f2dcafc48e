#pragma once
// A TCP server on 127.0.0.1 that misbehaves on purpose, in its own thread, so
// that a test can block in a library call while the server plays its part.
// It answers the handshake soundly when asked to, then misbehaves on the next
// request; otherwise it misbehaves from the first byte on.

#include "WireFrame.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace pnv::test {

class RogueEncoder final {
public:
    enum class Behaviour {
        Silent,          // reads, never answers
        Trickle,         // one byte of a valid reply every 100 ms
        EndlessGarbage,  // an endless stream of bytes that are no frame
        EndlessFrames,   // an endless stream of well-formed frames with other sequence numbers
        Reset,           // resets the connection (RST)
        HalfClose,       // shuts down its sending side, keeps reading
        OversizedLength, // a header announcing 65535 payload bytes
        LongReply,       // a sound frame of the right type whose payload is 64 bytes
        WrongModel,      // (handshake) status 0 but model 1234
        ShortReply,      // a sound frame of the right type with one byte too few
    };

    RogueEncoder(Behaviour behaviour, bool answerHandshake);
    ~RogueEncoder();
    RogueEncoder(const RogueEncoder &) = delete;
    RogueEncoder &operator=(const RogueEncoder &) = delete;

    std::uint16_t port() const { return m_port; }
    int acceptedConnections() const { return m_accepted.load(); }
    // Whole request frames read so far, the handshake included.
    int requestsSeen() const { return m_requests.load(); }

private:
    void run();
    void serve(int client);
    bool readRequest(int client, tessalin::wire::Frame &request);
    bool pause(int ms);   // false when the test is over

    Behaviour m_behaviour;
    bool m_answerHandshake;
    int m_listener = -1;
    int m_stopPipe[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_requests{0};
    std::thread m_thread;
};

} // namespace pnv::test
