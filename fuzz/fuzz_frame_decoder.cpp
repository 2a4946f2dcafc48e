// Feeds any byte stream, cut into pieces of any size, to the frame decoder the
// library reads encoder replies with, and compares it with a plain reading of
// the frame layout in docs/protocol.md.
//
// Input: the stream bytes are taken from the front, the piece sizes from the
// back (FuzzedDataProvider), so the fuzzer mutates both independently.

#include "FuzzCheck.h"
#include "WireFrame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

namespace wire = tessalin::wire;
using Decoder = wire::FrameDecoder;

namespace {

// Bit by bit, deliberately unlike the table-driven code under test.
std::uint32_t referenceCrc32(const std::uint8_t *data, std::size_t size, std::uint32_t crc = 0)
{
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    return ~crc;
}

// What the decoder must report once `frameBytes` (the bytes since the end of
// the previous frame) have been fed, and how many of them end the frame.
struct Expectation {
    Decoder::State state = Decoder::State::NeedMore;
    std::size_t frameLength = 0;   // bytes that make the frame or the rejected header
};

Expectation expect(const std::vector<std::uint8_t> &bytes)
{
    if (bytes.size() < wire::kHeaderSize)
        return {};
    const bool headerSound = bytes[0] == wire::kMagic0 && bytes[1] == wire::kMagic1 && bytes[2] == wire::kVersion;
    const std::size_t length = (std::size_t{bytes[6]} << 8) | bytes[7];
    if (!headerSound || length > wire::kMaxPayload)
        return {Decoder::State::Malformed, wire::kHeaderSize};   // noticed without waiting for a payload
    const std::size_t total = wire::kHeaderSize + length;
    if (bytes.size() < total)
        return {};
    const std::uint32_t sent = (std::uint32_t{bytes[8]} << 24) | (std::uint32_t{bytes[9]} << 16)
                               | (std::uint32_t{bytes[10]} << 8) | bytes[11];
    const std::uint32_t crc = referenceCrc32(bytes.data() + wire::kHeaderSize, length, referenceCrc32(bytes.data(), 8));
    return {crc == sent ? Decoder::State::FrameReady : Decoder::State::BadChecksum, total};
}

bool isError(Decoder::State state)
{
    return state == Decoder::State::Malformed || state == Decoder::State::BadChecksum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool crcKnown = [] {
        const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        return wire::crc32(check, sizeof check) == 0xCBF43926U;
    }();
    FUZZ_CHECK(crcKnown);

    FuzzedDataProvider input(data, size);
    Decoder decoder;
    std::vector<std::uint8_t> stream;   // everything offered so far, in order
    std::vector<std::uint8_t> frameBytes;   // taken since the last frame was handed out
    std::size_t consumed = 0;

    while (input.remaining_bytes() > 0) {
        const auto pieceSize = input.ConsumeIntegralInRange<std::size_t>(0, 2 * (wire::kHeaderSize + wire::kMaxPayload));
        const std::vector<std::uint8_t> piece = input.ConsumeBytes<std::uint8_t>(pieceSize);
        stream.insert(stream.end(), piece.begin(), piece.end());

        // Offer the unread rest of the stream, as a reader with a buffer would.
        std::size_t offset = consumed;
        while (offset < stream.size()) {
            const Decoder::State before = decoder.state();
            const std::size_t offered = stream.size() - offset;
            const std::size_t taken = decoder.feed(stream.data() + offset, offered);
            FUZZ_CHECK(taken <= offered);

            if (isError(before)) {
                // No way back in step once the stream has been found bad.
                FUZZ_CHECK(taken == 0);
                FUZZ_CHECK(decoder.state() == before);
                return 0;
            }

            frameBytes.insert(frameBytes.end(), stream.begin() + static_cast<std::ptrdiff_t>(offset),
                              stream.begin() + static_cast<std::ptrdiff_t>(offset + taken));
            offset += taken;
            consumed = offset;

            const Expectation expected = expect(frameBytes);
            FUZZ_CHECK(decoder.state() == expected.state);
            switch (decoder.state()) {
            case Decoder::State::NeedMore:
                FUZZ_CHECK(taken == offered);   // it only stops early at the end of a frame
                FUZZ_CHECK(decoder.inFrame() == !frameBytes.empty());
                break;
            case Decoder::State::Malformed:
            case Decoder::State::BadChecksum:
                FUZZ_CHECK(frameBytes.size() == expected.frameLength);
                break;
            case Decoder::State::FrameReady: {
                FUZZ_CHECK(frameBytes.size() == expected.frameLength);
                const wire::Frame frame = decoder.takeFrame();
                FUZZ_CHECK(frame.payload.size() <= wire::kMaxPayload);
                FUZZ_CHECK(frame.type == frameBytes[3]);
                FUZZ_CHECK(wire::encodeFrame(frame) == frameBytes);
                FUZZ_CHECK(decoder.state() == Decoder::State::NeedMore);
                FUZZ_CHECK(!decoder.inFrame());
                frameBytes.clear();
                break;
            }
            }
            if (decoder.state() == Decoder::State::NeedMore && taken == offered)
                break;
        }
        if (isError(decoder.state())) {
            // Whatever follows is refused.
            const std::vector<std::uint8_t> rest = input.ConsumeRemainingBytes<std::uint8_t>();
            const Decoder::State stuck = decoder.state();
            FUZZ_CHECK(decoder.feed(rest.data(), rest.size()) == 0);
            FUZZ_CHECK(decoder.state() == stuck);
            return 0;
        }
    }
    // A zero-length offer changes nothing.
    const Decoder::State last = decoder.state();
    const std::uint8_t none = 0;
    FUZZ_CHECK(decoder.feed(&none, 0) == 0);
    FUZZ_CHECK(decoder.state() == last);
    return 0;
}
