#pragma once
// A blocking client of the wire protocol for simulator tests: speaks frames
// directly, so tests can also say things the device library never would.

#include "NetworkConfig.h"
#include "WireFrame.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <optional>

namespace pnv::test {

class WireClient final {
public:
    bool connectTo(quint16 port, int timeoutMs = 5000)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(timeoutMs);
    }

    bool sendRaw(const QByteArray &bytes)
    {
        socket.write(bytes);
        return socket.waitForBytesWritten(5000) || socket.bytesToWrite() == 0;
    }

    bool send(tessalin::wire::MessageType type, std::vector<std::uint8_t> payload, std::uint16_t sequence)
    {
        const auto bytes = tessalin::wire::encodeFrame({static_cast<std::uint8_t>(type), sequence, std::move(payload)});
        return sendRaw(QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    }

    // The next frame, or nothing on a time-out, a closed connection or a damaged frame.
    std::optional<tessalin::wire::Frame> receive(int timeoutMs = 5000)
    {
        tessalin::wire::FrameDecoder decoder;
        const QDeadlineTimer deadline(timeoutMs);
        while (decoder.state() == tessalin::wire::FrameDecoder::State::NeedMore) {
            if (socket.bytesAvailable() == 0
                && !socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
                return std::nullopt;
            char byte;
            while (decoder.state() == tessalin::wire::FrameDecoder::State::NeedMore && socket.getChar(&byte)) {
                const auto b = static_cast<std::uint8_t>(byte);
                decoder.feed(&b, 1);
            }
        }
        if (decoder.state() != tessalin::wire::FrameDecoder::State::FrameReady)
            return std::nullopt;
        return decoder.takeFrame();
    }

    std::optional<tessalin::wire::Frame> request(tessalin::wire::MessageType type, std::vector<std::uint8_t> payload = {})
    {
        const std::uint16_t sequence = m_sequence++;
        if (!send(type, std::move(payload), sequence))
            return std::nullopt;
        auto reply = receive();
        if (!reply || reply->sequence != sequence || reply->payload.empty())
            return std::nullopt;
        return reply;
    }

    // The handshake's status, or -1.
    int handshake(std::int32_t mode = TESSALIN_CONNECT_MODE)
    {
        const auto m = static_cast<std::uint32_t>(mode);
        const auto reply = request(tessalin::wire::MessageType::Hello,
                                   {static_cast<std::uint8_t>(m >> 24), static_cast<std::uint8_t>(m >> 16),
                                    static_cast<std::uint8_t>(m >> 8), static_cast<std::uint8_t>(m)});
        return reply && reply->payload.size() == 3 ? reply->payload[0] : -1;
    }

    // The configuration the encoder reports, or nothing.
    std::optional<tessalin::NetworkConfig> read()
    {
        const auto reply = request(tessalin::wire::MessageType::Read);
        if (!reply || reply->payload.size() != 27 || reply->payload[0] != 0)
            return std::nullopt;
        tessalin::NetworkConfig config;
        std::copy_n(reply->payload.begin() + 1, 6, config.mac.begin());
        config.assignRequest(reply->payload.data() + 7);
        return config;
    }

    // The write's status, or -1.
    int write(const tessalin::NetworkConfig &config)
    {
        const auto record = config.requestBytes();
        const auto reply = request(tessalin::wire::MessageType::Write, {record.begin(), record.end()});
        return reply ? reply->payload[0] : -1;
    }

    // True once the simulator has closed this connection.
    bool waitForDrop(int timeoutMs = 5000)
    {
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return true;
        return socket.waitForDisconnected(timeoutMs) || socket.state() == QAbstractSocket::UnconnectedState;
    }

    QTcpSocket socket;

private:
    std::uint16_t m_sequence = 1;
};

} // namespace pnv::test
