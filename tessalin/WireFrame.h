#pragma once
// Frames of the encoder wire protocol (docs/protocol.md), shared by the device
// library and the simulator. Plain C++: the library must not pull in Qt.

#include "tessalin_codes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessalin::wire {

constexpr std::uint8_t kMagic0 = 0x50;   // 'P'
constexpr std::uint8_t kMagic1 = 0x4E;   // 'N'
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kMaxPayload = 64;
constexpr std::uint16_t kModelNumber = 3400;

enum class MessageType : std::uint8_t {
    Hello = 0x01,
    HelloReply = 0x81,
    Read = 0x02,
    ReadReply = 0x82,
    Write = 0x03,
    WriteReply = 0x83,
    Bye = 0x04,
};

struct Frame {
    std::uint8_t type = 0;
    std::uint16_t sequence = 0;
    std::vector<std::uint8_t> payload;
};

// CRC-32 with the IEEE 802.3 polynomial, continuing from `crc` (0 to start).
std::uint32_t crc32(const std::uint8_t *data, std::size_t size, std::uint32_t crc = 0);

// The complete frame bytes. A payload longer than kMaxPayload is a programming
// error and is cut to kMaxPayload rather than sent as an invalid frame.
std::vector<std::uint8_t> encodeFrame(const Frame &frame);

enum class HeaderError { None, BadMagic, BadVersion, TooLong };

struct Header {
    std::uint8_t type = 0;
    std::uint16_t sequence = 0;
    std::uint16_t length = 0;
    std::uint32_t checksum = 0;
};

// Checks everything that can be checked from the 12 header bytes alone.
HeaderError parseHeader(const std::uint8_t *bytes, Header &out);

// True when the header's checksum covers its first 8 bytes and the payload.
bool checksumMatches(const std::uint8_t *headerBytes, const std::uint8_t *payload, std::size_t length);

// Collects frames from a byte stream fed in arbitrary pieces. After an error
// it stays in error: the stream cannot be trusted to be in step again.
class FrameDecoder final {
public:
    enum class State { NeedMore, FrameReady, Malformed, BadChecksum };

    // Takes bytes up to the end of the current frame at most and returns how
    // many it took; call state() afterwards.
    std::size_t feed(const std::uint8_t *data, std::size_t size);
    State state() const { return m_state; }
    bool inFrame() const { return m_filled > 0; }

    // Valid when state() is FrameReady; resets the decoder for the next frame.
    Frame takeFrame();

private:
    std::array<std::uint8_t, kHeaderSize + kMaxPayload> m_buffer{};
    std::size_t m_filled = 0;
    std::size_t m_needed = kHeaderSize;
    State m_state = State::NeedMore;
};

} // namespace tessalin::wire
