#include "BridgeFrame.h"

#include <algorithm>
#include <cstring>

namespace pnv::winebridge {
namespace {

constexpr std::uint8_t kMagic0 = 'T';
constexpr std::uint8_t kMagic1 = 'B';

std::uint32_t readLe(const std::uint8_t *p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

bool isKnownType(std::uint8_t type)
{
    return (type >= 0x01 && type <= 0x05) || (type >= 0x80 && type <= 0x83);
}

} // namespace

void putInt(std::vector<std::uint8_t> &out, std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

bool getInt(const std::vector<std::uint8_t> &payload, std::size_t offset, std::int32_t &value)
{
    if (payload.size() < offset + 4)
        return false;
    value = static_cast<std::int32_t>(readLe(payload.data() + offset));
    return true;
}

std::vector<std::uint8_t> encode(const Frame &frame)
{
    std::vector<std::uint8_t> out{kMagic0, kMagic1, static_cast<std::uint8_t>(frame.type), frame.flags};
    putInt(out, static_cast<std::int32_t>(frame.payload.size()));
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return out;
}

std::size_t Decoder::feed(const std::uint8_t *data, std::size_t size)
{
    std::size_t taken = 0;
    while (taken < size && m_state == State::NeedMore) {
        if (m_headerFill < kHeaderSize) {
            m_header[m_headerFill++] = data[taken++];
            if (m_headerFill == 1 && m_header[0] != kMagic0)
                m_state = State::Malformed;
            else if (m_headerFill == 2 && m_header[1] != kMagic1)
                m_state = State::Malformed;
            else if (m_headerFill == 3 && !isKnownType(m_header[2]))
                m_state = State::Malformed;
            else if (m_headerFill == kHeaderSize) {
                const std::uint32_t length = readLe(m_header + 4);
                if (length > kMaxPayload) {
                    m_state = State::Malformed;
                    break;
                }
                m_length = length;
                m_frame.type = static_cast<Type>(m_header[2]);
                m_frame.flags = m_header[3];
                m_frame.payload.clear();
                m_frame.payload.reserve(m_length);
                if (m_length == 0)
                    m_state = State::FrameReady;
            }
            continue;
        }
        const std::size_t chunk = std::min(size - taken, m_length - m_frame.payload.size());
        m_frame.payload.insert(m_frame.payload.end(), data + taken, data + taken + chunk);
        taken += chunk;
        if (m_frame.payload.size() == m_length)
            m_state = State::FrameReady;
    }
    return taken;
}

Frame Decoder::take()
{
    Frame frame = std::move(m_frame);
    m_frame = Frame{};
    m_headerFill = 0;
    m_length = 0;
    m_state = State::NeedMore;
    return frame;
}

std::size_t forwardedBytes(std::int32_t capacity, bool nullBuffer)
{
    if (nullBuffer || capacity <= 0)
        return 0;
    return std::min<std::size_t>(static_cast<std::size_t>(capacity), kMaxBuffer);
}

Frame encodeCall(const CallRequest &call)
{
    Frame frame;
    frame.type = call.type;
    putInt(frame.payload, call.budgetMs);
    switch (call.type) {
    case Type::Connect:
        putInt(frame.payload, call.mode);
        putInt(frame.payload, call.port);
        break;
    case Type::Read:
    case Type::Write:
        frame.flags = call.nullBuffer ? kNullBuffer : 0;
        putInt(frame.payload, call.capacity);
        break;
    default:
        frame.payload.clear();
        return frame;
    }
    frame.payload.insert(frame.payload.end(), call.bytes.begin(), call.bytes.end());
    return frame;
}

bool decodeCall(const Frame &frame, CallRequest &call)
{
    call = CallRequest{};
    call.type = frame.type;
    const auto &p = frame.payload;
    switch (frame.type) {
    case Type::Connect:
        if (frame.flags != 0 || p.size() != 12 + 16 || !getInt(p, 0, call.budgetMs) || !getInt(p, 4, call.mode) || !getInt(p, 8, call.port))
            return false;
        call.bytes.assign(p.begin() + 12, p.end());
        return true;
    case Type::Read:
    case Type::Write: {
        if (frame.flags & ~kNullBuffer || !getInt(p, 0, call.budgetMs) || !getInt(p, 4, call.capacity))
            return false;
        call.nullBuffer = (frame.flags & kNullBuffer) != 0;
        const std::size_t expected = forwardedBytes(call.capacity, call.nullBuffer);
        if (p.size() != 8 + expected)
            return false;
        call.bytes.assign(p.begin() + 8, p.end());
        return true;
    }
    case Type::Disconnect:
    case Type::Close:
        return frame.flags == 0 && p.empty();
    default:
        return false;
    }
}

Frame encodeReady(int pointerBits)
{
    Frame frame{Type::Ready, 0, {}};
    putInt(frame.payload, pointerBits);
    return frame;
}

bool decodeReady(const Frame &frame, int &pointerBits)
{
    std::int32_t bits = 0;
    if (frame.type != Type::Ready || frame.payload.size() != 4 || !getInt(frame.payload, 0, bits))
        return false;
    pointerBits = bits;
    return bits == 32 || bits == 64;
}

Frame encodeResult(std::int32_t result, const std::uint8_t *bytes, std::size_t size)
{
    Frame frame{Type::Result, 0, {}};
    putInt(frame.payload, result);
    const std::size_t kept = std::min(size, kMaxBuffer);
    if (kept) {
        frame.payload.resize(4 + kept);
        std::memcpy(frame.payload.data() + 4, bytes, kept);
    }
    return frame;
}

bool decodeResult(const Frame &frame, Reply &reply)
{
    if (frame.type != Type::Result || !getInt(frame.payload, 0, reply.result))
        return false;
    reply.bytes.assign(frame.payload.begin() + 4, frame.payload.end());
    return true;
}

Frame encodeFailed(const std::string &message)
{
    Frame frame{Type::Failed, 0, {}};
    frame.payload.assign(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(std::min(message.size(), kMaxPayload)));
    return frame;
}

std::string decodeFailed(const Frame &frame) { return std::string(frame.payload.begin(), frame.payload.end()); }

Frame encodeWindow(bool shown, const std::string &text)
{
    Frame frame{Type::Window, 0, {}};
    const std::size_t length = std::min(text.size(), kMaxPayload - 1);
    frame.payload.resize(1 + length);
    frame.payload[0] = shown ? 1 : 0;
    std::copy_n(text.data(), length, frame.payload.data() + 1);
    return frame;
}

bool decodeWindow(const Frame &frame, bool &shown, std::string &text)
{
    if (frame.type != Type::Window || frame.payload.empty() || frame.payload[0] > 1)
        return false;
    shown = frame.payload[0] == 1;
    text.assign(frame.payload.begin() + 1, frame.payload.end());
    return true;
}

} // namespace pnv::winebridge

namespace pnv::winebridge {

std::size_t encodeFailedInto(std::uint8_t *out, std::size_t capacity, const char *message, std::size_t length)
{
    length = std::min(length, kMaxPayload);
    if (capacity < kHeaderSize + length)
        return 0;
    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = static_cast<std::uint8_t>(Type::Failed);
    out[3] = 0;
    for (std::size_t i = 0; i < 4; ++i)
        out[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::copy_n(message, length, out + kHeaderSize);
    return kHeaderSize + length;
}

} // namespace pnv::winebridge
