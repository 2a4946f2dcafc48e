#pragma once
// A scripted encoder on 127.0.0.1 for the library fuzz target: it accepts one
// connection at a time, reads the library's requests frame by frame and sends
// whatever the current script makes of each. Loopback only, by construction.

#include "WireFrame.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pnv::fuzz {

struct Answer {
    std::vector<std::uint8_t> bytes;   // sent in one piece, possibly empty
    bool closeAfter = false;           // hang up right after sending
};

class FakeEncoder final {
public:
    using Script = std::function<Answer(const tessalin::wire::Frame &request)>;

    FakeEncoder();   // aborts when it cannot listen: nothing could be tested
    FakeEncoder(const FakeEncoder &) = delete;
    FakeEncoder &operator=(const FakeEncoder &) = delete;

    std::uint16_t port() const { return m_port; }

    // The script for the next connection; BYE frames are never shown to it.
    void setScript(Script script);

    // Waits until the connection that followed setScript() is over and
    // returns the requests the library sent, BYE included. `heldOpen` tells
    // that the connection had to be cut because the library kept it long
    // after it should have let go.
    std::vector<tessalin::wire::Frame> waitForSessionEnd(bool &heldOpen);

private:
    void serve();
    void handle(int fd);

    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Script m_script;
    bool m_sessionOver = false;
    bool m_heldOpen = false;
    std::vector<tessalin::wire::Frame> m_requests;
    std::thread m_thread;
};

} // namespace pnv::fuzz
