#pragma once
// The framing between the bridge library (Linux) and its Windows host, over
// the host's standard input and output. Both halves use this one module.
//
// A frame is an 8-byte header, then the payload:
//   bytes 0-1  magic "TB"
//   byte  2    type (below)
//   byte  3    flags (kNullBuffer on READ and WRITE; 0 otherwise)
//   bytes 4-7  payload length, unsigned 32-bit little-endian, at most kMaxPayload
// Integers in payloads are 32-bit little-endian; see docs/bridge.md.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pnv::winebridge {

inline constexpr std::size_t kHeaderSize = 8;
// Covers the largest buffer forwarded (kMaxBuffer) plus the call's numbers and
// the longest message a host sends.
inline constexpr std::size_t kMaxBuffer = 4096;
inline constexpr std::size_t kMaxPayload = kMaxBuffer + 16;
inline constexpr std::uint8_t kNullBuffer = 1;

enum class Type : std::uint8_t {
    // client -> host
    Connect = 0x01,     // budget ms, mode, port, then the 16-byte address buffer
    Disconnect = 0x02,  // empty; no reply
    Read = 0x03,        // budget ms, capacity, then the buffer's first min(capacity, kMaxBuffer) bytes
    Write = 0x04,       // budget ms, capacity, then the buffer's first min(capacity, kMaxBuffer) bytes
    Close = 0x05,       // empty; no reply
    // host -> client
    Ready = 0x80,       // pointer size in bits (32 or 64)
    Result = 0x81,      // the call's result, then the buffer as the DLL left it (READ and WRITE)
    Failed = 0x82,      // what the host could not do, or where the DLL crashed; the host ends after it
    Window = 0x83,      // during a call: 1 and what it says when the DLL shows a window, 0 once it has none
};

struct Frame {
    Type type = Type::Ready;
    std::uint8_t flags = 0;
    std::vector<std::uint8_t> payload;
};

std::vector<std::uint8_t> encode(const Frame &frame);

void putInt(std::vector<std::uint8_t> &out, std::int32_t value);
// Reads a 32-bit integer at `offset`; false when the payload is too short.
bool getInt(const std::vector<std::uint8_t> &payload, std::size_t offset, std::int32_t &value);

// Incremental decoder: feed any chunks; a frame is complete when ready().
// A wrong magic, an unknown type or a length above kMaxPayload makes it
// malformed at once, without waiting for the payload.
class Decoder final {
public:
    enum class State { NeedMore, FrameReady, Malformed };

    // Takes bytes up to the end of the current frame; returns how many it took.
    std::size_t feed(const std::uint8_t *data, std::size_t size);
    State state() const { return m_state; }
    // Hands out the finished frame and starts on the next one.
    Frame take();

private:
    State m_state = State::NeedMore;
    std::uint8_t m_header[kHeaderSize] = {};
    std::size_t m_headerFill = 0;
    std::size_t m_length = 0;
    Frame m_frame;
};

// The calls' payloads, built and read the same way on both sides.
struct CallRequest {
    Type type = Type::Read;
    std::int32_t budgetMs = 0;
    std::int32_t mode = 0;        // Connect
    std::int32_t port = 0;        // Connect
    std::int32_t capacity = 0;    // Read, Write
    bool nullBuffer = false;      // Read, Write
    std::vector<std::uint8_t> bytes;   // Connect: the 16-byte address; Write: the buffer
};
Frame encodeCall(const CallRequest &call);
// False for a payload that does not fit its type.
bool decodeCall(const Frame &frame, CallRequest &call);

// How many buffer bytes travel for a capacity: none for a null or empty buffer.
std::size_t forwardedBytes(std::int32_t capacity, bool nullBuffer);

// The host's answers, built and read here too.
struct Reply {
    std::int32_t result = 0;
    std::vector<std::uint8_t> bytes;   // READ and WRITE: the buffer as the DLL left it
};
Frame encodeReady(int pointerBits);
// False unless the payload is one pointer size of 32 or 64.
bool decodeReady(const Frame &frame, int &pointerBits);
// At most kMaxBuffer bytes of `bytes` travel.
Frame encodeResult(std::int32_t result, const std::uint8_t *bytes, std::size_t size);
bool decodeResult(const Frame &frame, Reply &reply);
// The message is cut to fit one frame.
Frame encodeFailed(const std::string &message);
std::string decodeFailed(const Frame &frame);
// `shown` with the window's "title: text", or none left shown.
Frame encodeWindow(bool shown, const std::string &text);
bool decodeWindow(const Frame &frame, bool &shown, std::string &text);
// The same frame written into `out` without touching the heap (for a host
// whose heap may be what broke); its length, or 0 when `capacity` is short.
std::size_t encodeFailedInto(std::uint8_t *out, std::size_t capacity, const char *message, std::size_t length);

} // namespace pnv::winebridge
