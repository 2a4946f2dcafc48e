// Any byte streams from clients, sent to the simulator's real server over
// 127.0.0.1. Each connection gets, reply for reply, what a separate reading of
// docs/protocol.md says its bytes ask for, or is dropped (having had at most a
// first part of those replies), and the session table never holds more than
// its bound, also when more clients come than it has room for.
//
// Input (FuzzedDataProvider): how many connections, then for each its bytes
// and where they are cut in two sends.

#include "ConfigRules.h"
#include "EncoderDevice.h"
#include "EncoderServer.h"
#include "FuzzCheck.h"
#include "StateFile.h"
#include "WireFrame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace wire = tessalin::wire;

namespace {

struct Reply {
    std::uint8_t type = 0;
    std::uint16_t sequence = 0;
    std::vector<std::uint8_t> payload;   // checked whole, but for READ's record (other clients write)
};

enum class End { StaysOpen, ClosedAfterReplies, Dropped };

struct Expected {
    std::vector<Reply> replies;
    End end = End::StaysOpen;
};

// The protocol as docs/protocol.md tells it, for one connection's bytes.
Expected expectedFor(const std::vector<std::uint8_t> &bytes)
{
    Expected expected;
    wire::FrameDecoder decoder;
    bool linked = false;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        offset += decoder.feed(bytes.data() + offset, bytes.size() - offset);
        if (decoder.state() == wire::FrameDecoder::State::NeedMore)
            break;
        if (decoder.state() != wire::FrameDecoder::State::FrameReady) {
            expected.end = End::Dropped;   // malformed or bad checksum
            return expected;
        }
        const wire::Frame frame = decoder.takeFrame();
        const auto type = static_cast<wire::MessageType>(frame.type);
        const auto reply = [&](std::vector<std::uint8_t> payload) {
            expected.replies.push_back(
                {static_cast<std::uint8_t>(frame.type | 0x80), frame.sequence, std::move(payload)});
        };
        if (!linked && type != wire::MessageType::Hello) {
            expected.end = End::Dropped;
            return expected;
        }
        switch (type) {
        case wire::MessageType::Hello: {
            if (frame.payload.size() != 4) {
                expected.end = End::Dropped;
                return expected;
            }
            const std::int32_t mode = static_cast<std::int32_t>(
                (std::uint32_t{frame.payload[0]} << 24) | (std::uint32_t{frame.payload[1]} << 16)
                | (std::uint32_t{frame.payload[2]} << 8) | frame.payload[3]);
            const bool accepted = mode == TESSALIN_CONNECT_MODE;
            reply({static_cast<std::uint8_t>(accepted ? 0 : 4), 3400 >> 8, 3400 & 0xFF});
            if (!accepted) {
                expected.end = End::ClosedAfterReplies;
                return expected;
            }
            linked = true;
            break;
        }
        case wire::MessageType::Read:
            if (!frame.payload.empty()) {
                expected.end = End::Dropped;
                return expected;
            }
            reply(std::vector<std::uint8_t>(27, 0));   // status 0, then a record
            break;
        case wire::MessageType::Write: {
            if (frame.payload.size() != TESSALIN_CONFIG_REQUEST_SIZE) {
                expected.end = End::Dropped;
                return expected;
            }
            tessalin::NetworkConfig wanted;
            wanted.assignRequest(frame.payload.data());
            if (pnv::sim::rejectionReason(wanted).empty()) {
                std::vector<std::uint8_t> payload{0};
                payload.insert(payload.end(), frame.payload.begin(), frame.payload.end());
                reply(payload);
            } else {
                reply({4});
            }
            break;
        }
        case wire::MessageType::Bye:
            expected.end = End::ClosedAfterReplies;
            return expected;
        default:
            expected.end = End::Dropped;
            return expected;
        }
    }
    // A handshake that never came, or a frame begun and never finished, ends
    // with the client time-out; a linked client at rest may stay.
    if (!linked || decoder.inFrame())
        expected.end = End::Dropped;
    return expected;
}

bool sameReply(const Reply &seen, const Reply &wanted)
{
    if (seen.type != wanted.type || seen.sequence != wanted.sequence || seen.payload.size() != wanted.payload.size())
        return false;
    if (seen.type == static_cast<std::uint8_t>(wire::MessageType::ReadReply))
        return seen.payload[0] == 0;
    return seen.payload == wanted.payload;
}

struct Server {
    int argc = 1;
    char name[16] = "fuzz";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    QTemporaryDir folder{(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
                         + QStringLiteral("/pnv-fuzz-session-XXXXXX")};
    std::unique_ptr<pnv::sim::EncoderDevice> device;
    std::unique_ptr<pnv::sim::EncoderServer> server;

    Server()
    {
        FUZZ_CHECK(folder.isValid());
        const QString state = folder.filePath(QStringLiteral("encoder.state"));
        const auto config = tessalin::NetworkConfig::factory({2, 0, 0, 0, 0, 9});
        FUZZ_CHECK(pnv::sim::saveState(state, config).isEmpty());
        device = std::make_unique<pnv::sim::EncoderDevice>(state, config, pnv::sim::FaultPlan{});
        pnv::sim::SessionLimits limits;
        limits.clientTimeoutMs = 100;   // stalls end quickly; the rules stay the same
        server = std::make_unique<pnv::sim::EncoderServer>(*device, limits);
        FUZZ_CHECK(server->listen(QHostAddress::LocalHost, 0).isEmpty());
    }

    // Lets the server work for a moment, and checks its bound meanwhile.
    void pump(int ms)
    {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        FUZZ_CHECK(server->sessionCount() <= pnv::sim::EncoderServer::kMaxSessions);
    }
};

Server &server()
{
    static Server instance;
    return instance;
}

struct Client {
    int fd = -1;
    std::vector<std::uint8_t> sent;
    Expected expected;
    wire::FrameDecoder decoder;
    std::vector<Reply> replies;
    bool closed = false;

    ~Client()
    {
        if (fd >= 0)
            ::close(fd);
    }

    void connectTo(std::uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(fd >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The server does not run while the clients connect: the kernel
        // completes each from the listen queue, which must hold a crowd.
        const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        FUZZ_CHECK(rc == 0 || errno == EINPROGRESS);
        pollfd writable{fd, POLLOUT, 0};
        FUZZ_CHECK(::poll(&writable, 1, 5000) == 1);
        int error = 0;
        socklen_t length = sizeof error;
        FUZZ_CHECK(::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0);
    }

    void send(std::size_t from, std::size_t to)
    {
        if (from < to && !closed)
            (void)::send(fd, sent.data() + from, to - from, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    void collect()
    {
        std::uint8_t chunk[4096];
        while (!closed) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n <= 0) {
                closed = true;   // closed or reset by the server
                return;
            }
            std::size_t offset = 0;
            while (offset < static_cast<std::size_t>(n)) {
                offset += decoder.feed(chunk + offset, static_cast<std::size_t>(n) - offset);
                if (decoder.state() == wire::FrameDecoder::State::NeedMore)
                    break;
                FUZZ_CHECK(decoder.state() == wire::FrameDecoder::State::FrameReady);   // never garbage
                const wire::Frame frame = decoder.takeFrame();
                replies.push_back({frame.type, frame.sequence, frame.payload});
            }
        }
    }

    bool settled() const
    {
        return closed || (expected.end == End::StaysOpen && replies.size() >= expected.replies.size());
    }

    // `crowded`: more clients than sessions, so an idle one may give way.
    void check(bool crowded) const
    {
        FUZZ_CHECK(replies.size() <= expected.replies.size());
        for (std::size_t i = 0; i < replies.size(); ++i)
            FUZZ_CHECK(sameReply(replies[i], expected.replies[i]));
        FUZZ_CHECK(!decoder.inFrame());
        if (expected.end != End::Dropped)
            FUZZ_CHECK(replies.size() == expected.replies.size());
        if (expected.end == End::StaysOpen && crowded)
            return;
        FUZZ_CHECK(closed == (expected.end != End::StaysOpen));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Server &sim = server();
    FuzzedDataProvider input(data, size);
    // Now and then more clients than the table holds.
    const int count = input.ConsumeIntegralInRange<int>(0, 15) == 0 ? pnv::sim::EncoderServer::kMaxSessions + 2
                                                                    : input.ConsumeIntegralInRange<int>(1, 3);
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::size_t> cuts;
    for (int i = 0; i < count; ++i) {
        auto client = std::make_unique<Client>();
        client->sent = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 300));
        cuts.push_back(input.ConsumeIntegralInRange<std::size_t>(0, client->sent.size()));
        client->expected = expectedFor(client->sent);
        client->connectTo(sim.server->port());
        clients.push_back(std::move(client));
    }
    for (std::size_t i = 0; i < clients.size(); ++i)
        clients[i]->send(0, cuts[i]);
    sim.pump(5);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clients[i]->collect();
        clients[i]->send(cuts[i], clients[i]->sent.size());
    }

    // Every client settles: answered and at rest, or closed. Latecomers wait
    // for a slot until idle sessions give way, so allow for that.
    const QDeadlineTimer deadline(20000);
    bool settled = false;
    while (!settled) {
        FUZZ_CHECK(!deadline.hasExpired());
        sim.pump(2);
        settled = true;
        for (auto &client : clients) {
            client->collect();
            settled = settled && client->settled();
        }
    }
    for (const auto &client : clients)
        client->check(count > pnv::sim::EncoderServer::kMaxSessions);

    clients.clear();
    while (sim.server->sessionCount() > 0) {
        FUZZ_CHECK(!deadline.hasExpired());
        sim.pump(2);
    }
    return 0;
}
