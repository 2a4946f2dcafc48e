#include "FakeEncoder.h"

#include "FuzzCheck.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pnv::fuzz {
namespace {

namespace wire = tessalin::wire;
using Clock = std::chrono::steady_clock;

// Far beyond any call budget: a connection still open by then was forgotten.
constexpr std::chrono::milliseconds kSessionLimit{3000};

int msLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void sendAll(int fd, const std::vector<std::uint8_t> &bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;   // the library hung up first; that is its right
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace

FakeEncoder::FakeEncoder()
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(m_listenFd >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    FUZZ_CHECK(::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
    FUZZ_CHECK(::listen(m_listenFd, 8) == 0);
    socklen_t size = sizeof address;
    FUZZ_CHECK(::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &size) == 0);
    m_port = ntohs(address.sin_port);
    // Lives as long as the fuzzing process; it ends with it.
    m_thread = std::thread([this] { serve(); });
    m_thread.detach();
}

void FakeEncoder::setScript(Script script)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script = std::move(script);
    m_sessionOver = false;
    m_heldOpen = false;
    m_requests.clear();
}

std::vector<tessalin::wire::Frame> FakeEncoder::waitForSessionEnd(bool &heldOpen)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool over = m_changed.wait_for(lock, 2 * kSessionLimit, [this] { return m_sessionOver; });
    FUZZ_CHECK(over);   // the library never connected, or the listener is stuck
    heldOpen = m_heldOpen;
    m_script = nullptr;
    return std::move(m_requests);
}

void FakeEncoder::serve()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            FUZZ_CHECK(errno == EINTR || errno == ECONNABORTED);
            continue;
        }
        handle(fd);
        ::close(fd);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessionOver = true;
        m_changed.notify_all();
    }
}

void FakeEncoder::handle(int fd)
{
    const Clock::time_point end = Clock::now() + kSessionLimit;
    wire::FrameDecoder decoder;
    std::uint8_t chunk[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, msLeft(end));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_heldOpen = true;
            return;
        }
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;   // the library let go
        std::size_t offset = 0;
        while (offset < static_cast<std::size_t>(n)) {
            offset += decoder.feed(chunk + offset, static_cast<std::size_t>(n) - offset);
            // The library must only ever send sound frames.
            FUZZ_CHECK(decoder.state() == wire::FrameDecoder::State::NeedMore
                       || decoder.state() == wire::FrameDecoder::State::FrameReady);
            if (decoder.state() != wire::FrameDecoder::State::FrameReady)
                continue;
            const wire::Frame request = decoder.takeFrame();
            Script script;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(request);
                script = m_script;
            }
            if (request.type == static_cast<std::uint8_t>(wire::MessageType::Bye) || !script)
                continue;
            const Answer answer = script(request);
            sendAll(fd, answer.bytes);
            if (answer.closeAfter)
                return;
        }
    }
}

} // namespace pnv::fuzz
