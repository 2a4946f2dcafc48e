#include "WireFrame.h"

#include <algorithm>

namespace tessalin::wire {
namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr auto kCrcTable = makeCrcTable();

std::uint16_t readU16(const std::uint8_t *p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t readU32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

} // namespace

std::uint32_t crc32(const std::uint8_t *data, std::size_t size, std::uint32_t crc)
{
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = kCrcTable[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8);
    return ~crc;
}

std::vector<std::uint8_t> encodeFrame(const Frame &frame)
{
    const std::size_t length = std::min(frame.payload.size(), kMaxPayload);
    std::vector<std::uint8_t> bytes(kHeaderSize + length);
    bytes[0] = kMagic0;
    bytes[1] = kMagic1;
    bytes[2] = kVersion;
    bytes[3] = frame.type;
    bytes[4] = static_cast<std::uint8_t>(frame.sequence >> 8);
    bytes[5] = static_cast<std::uint8_t>(frame.sequence);
    bytes[6] = static_cast<std::uint8_t>(length >> 8);
    bytes[7] = static_cast<std::uint8_t>(length);
    std::copy_n(frame.payload.begin(), length, bytes.begin() + kHeaderSize);
    const std::uint32_t crc = crc32(bytes.data() + kHeaderSize, length, crc32(bytes.data(), 8));
    bytes[8] = static_cast<std::uint8_t>(crc >> 24);
    bytes[9] = static_cast<std::uint8_t>(crc >> 16);
    bytes[10] = static_cast<std::uint8_t>(crc >> 8);
    bytes[11] = static_cast<std::uint8_t>(crc);
    return bytes;
}

HeaderError parseHeader(const std::uint8_t *bytes, Header &out)
{
    if (bytes[0] != kMagic0 || bytes[1] != kMagic1)
        return HeaderError::BadMagic;
    if (bytes[2] != kVersion)
        return HeaderError::BadVersion;
    out.type = bytes[3];
    out.sequence = readU16(bytes + 4);
    out.length = readU16(bytes + 6);
    out.checksum = readU32(bytes + 8);
    return out.length > kMaxPayload ? HeaderError::TooLong : HeaderError::None;
}

bool checksumMatches(const std::uint8_t *headerBytes, const std::uint8_t *payload, std::size_t length)
{
    return crc32(payload, length, crc32(headerBytes, 8)) == readU32(headerBytes + 8);
}

std::size_t FrameDecoder::feed(const std::uint8_t *data, std::size_t size)
{
    std::size_t taken = 0;
    while (m_state == State::NeedMore && taken < size) {
        const std::size_t n = std::min(size - taken, m_needed - m_filled);
        std::copy_n(data + taken, n, m_buffer.begin() + static_cast<std::ptrdiff_t>(m_filled));
        m_filled += n;
        taken += n;
        if (m_filled < m_needed)
            break;
        if (m_needed == kHeaderSize) {
            Header header;
            if (parseHeader(m_buffer.data(), header) != HeaderError::None) {
                m_state = State::Malformed;
                break;
            }
            m_needed = kHeaderSize + header.length;
            if (m_filled < m_needed)
                continue;
        }
        m_state = checksumMatches(m_buffer.data(), m_buffer.data() + kHeaderSize, m_needed - kHeaderSize)
                      ? State::FrameReady
                      : State::BadChecksum;
    }
    return taken;
}

Frame FrameDecoder::takeFrame()
{
    Frame frame;
    frame.type = m_buffer[3];
    frame.sequence = readU16(m_buffer.data() + 4);
    frame.payload.assign(m_buffer.begin() + kHeaderSize, m_buffer.begin() + static_cast<std::ptrdiff_t>(m_needed));
    m_filled = 0;
    m_needed = kHeaderSize;
    m_state = State::NeedMore;
    return frame;
}

} // namespace tessalin::wire
