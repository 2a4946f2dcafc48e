#include "RogueEncoder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace pnv::test {

namespace wire = tessalin::wire;

namespace {

bool sendAll(int fd, const std::uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::uint8_t> replyTo(const wire::Frame &request, std::vector<std::uint8_t> payload, int sequenceShift = 0)
{
    wire::Frame reply{static_cast<std::uint8_t>(request.type | 0x80),
                      static_cast<std::uint16_t>(request.sequence + sequenceShift), std::move(payload)};
    return wire::encodeFrame(reply);
}

} // namespace

RogueEncoder::RogueEncoder(Behaviour behaviour, bool answerHandshake)
    : m_behaviour(behaviour), m_answerHandshake(answerHandshake)
{
    if (::pipe(m_stopPipe) != 0)
        throw std::runtime_error("pipe");
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_listener, 8) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        throw std::runtime_error("rogue encoder cannot listen");
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

RogueEncoder::~RogueEncoder()
{
    const char byte = 0;
    (void)!::write(m_stopPipe[1], &byte, 1);
    m_thread.join();
    ::close(m_listener);
    ::close(m_stopPipe[0]);
    ::close(m_stopPipe[1]);
}

bool RogueEncoder::pause(int ms)
{
    pollfd p{m_stopPipe[0], POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

void RogueEncoder::run()
{
    for (;;) {
        pollfd p[2] = {{m_listener, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        if (p[1].revents)
            return;
        if (!(p[0].revents & POLLIN))
            continue;
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++m_accepted;
        serve(client);
        ::close(client);
    }
}

bool RogueEncoder::readRequest(int client, wire::Frame &request)
{
    wire::FrameDecoder decoder;
    std::uint8_t byte;
    while (decoder.state() == wire::FrameDecoder::State::NeedMore) {
        pollfd p[2] = {{client, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 || p[1].revents)
            return false;
        if (::recv(client, &byte, 1, 0) != 1)
            return false;
        decoder.feed(&byte, 1);
    }
    if (decoder.state() != wire::FrameDecoder::State::FrameReady)
        return false;
    request = decoder.takeFrame();
    ++m_requests;
    return true;
}

void RogueEncoder::serve(int client)
{
    wire::Frame request;
    if (!readRequest(client, request))
        return;
    if (m_answerHandshake) {
        const auto hello = replyTo(request, {0, wire::kModelNumber >> 8, wire::kModelNumber & 0xFF});
        if (!sendAll(client, hello.data(), hello.size()) || !readRequest(client, request))
            return;
    }
    const bool isHello = request.type == static_cast<std::uint8_t>(wire::MessageType::Hello);
    // A reply that would be sound for this request, to misuse below.
    std::vector<std::uint8_t> soundPayload;
    if (isHello)
        soundPayload = {0, wire::kModelNumber >> 8, wire::kModelNumber & 0xFF};
    else if (request.type == static_cast<std::uint8_t>(wire::MessageType::Read))
        soundPayload.assign(27, 0x11), soundPayload[0] = 0;
    else
        soundPayload.assign(request.payload.begin(), request.payload.end()), soundPayload.insert(soundPayload.begin(), 0);

    switch (m_behaviour) {
    case Behaviour::Silent:
        while (pause(1000)) {
        }
        return;
    case Behaviour::Trickle: {
        const auto bytes = replyTo(request, soundPayload);
        for (std::size_t i = 0; i < bytes.size() && pause(100); ++i)
            if (!sendAll(client, &bytes[i], 1))
                return;
        while (pause(1000)) {
        }
        return;
    }
    case Behaviour::EndlessGarbage: {
        std::vector<std::uint8_t> junk(4096, 0xE7);
        while (sendAll(client, junk.data(), junk.size()) && pause(0)) {
        }
        return;
    }
    case Behaviour::EndlessFrames: {
        for (int shift = 1; pause(0); ++shift) {
            const auto bytes = replyTo(request, soundPayload, shift);
            if (!sendAll(client, bytes.data(), bytes.size()))
                return;
        }
        return;
    }
    case Behaviour::Reset: {
        const linger hard{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        return;   // the caller's close() now sends RST
    }
    case Behaviour::HalfClose:
        ::shutdown(client, SHUT_WR);
        while (pause(1000)) {
        }
        return;
    case Behaviour::OversizedLength: {
        auto bytes = replyTo(request, soundPayload);
        bytes[6] = 0xFF;
        bytes[7] = 0xFF;
        sendAll(client, bytes.data(), bytes.size());
        while (pause(1000)) {
        }
        return;
    }
    case Behaviour::LongReply:
    case Behaviour::ShortReply:
    case Behaviour::WrongModel: {
        std::vector<std::uint8_t> payload = soundPayload;
        if (m_behaviour == Behaviour::LongReply)
            payload.resize(wire::kMaxPayload, 0xEE);
        else if (m_behaviour == Behaviour::ShortReply)
            payload.pop_back();
        else if (isHello)
            payload = {0, 1234 >> 8, 1234 & 0xFF};
        const auto bytes = replyTo(request, payload);
        sendAll(client, bytes.data(), bytes.size());
        while (pause(1000)) {
        }
        return;
    }
    }
}

} // namespace pnv::test
