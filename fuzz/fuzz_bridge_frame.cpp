// Feeds any byte stream, cut into pieces of any size, to the bridge's frame
// decoder, which both the Linux library (reading the host's replies) and the
// Windows host (reading calls) use, and checks what each side makes of the
// frames: a call that decodes encodes back to the same bytes, and a reply
// never yields more buffer bytes than its call forwarded, whatever a DLL
// scribbled into the buffer.
//
// Input: the stream bytes are taken from the front, the piece sizes and the
// capacity of the call a reply answers from the back (FuzzedDataProvider).

#include "BridgeFrame.h"
#include "FuzzCheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace bridge = pnv::winebridge;
using Decoder = bridge::Decoder;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto capacity = input.ConsumeIntegral<std::int32_t>();
    Decoder decoder;
    std::vector<std::uint8_t> frameBytes;
    while (input.remaining_bytes() > 0) {
        const auto pieceSize = input.ConsumeIntegralInRange<std::size_t>(0, 255);
        const std::vector<std::uint8_t> piece = input.ConsumeBytes<std::uint8_t>(pieceSize);
        std::size_t offset = 0;
        while (offset < piece.size()) {
            const std::size_t taken = decoder.feed(piece.data() + offset, piece.size() - offset);
            FUZZ_CHECK(taken <= piece.size() - offset);
            frameBytes.insert(frameBytes.end(), piece.begin() + static_cast<std::ptrdiff_t>(offset),
                              piece.begin() + static_cast<std::ptrdiff_t>(offset + taken));
            offset += taken;
            if (decoder.state() == Decoder::State::Malformed) {
                // Refused from the header alone, before any payload.
                FUZZ_CHECK(frameBytes.size() <= bridge::kHeaderSize);
                return 0;
            }
            if (decoder.state() == Decoder::State::NeedMore) {
                FUZZ_CHECK(offset == piece.size());
                continue;
            }
            const bridge::Frame frame = decoder.take();
            FUZZ_CHECK(frame.payload.size() <= bridge::kMaxPayload);
            FUZZ_CHECK(bridge::encode(frame) == frameBytes);
            frameBytes.clear();

            // The host's side: a call it accepts is exactly what a client sends.
            bridge::CallRequest call;
            if (bridge::decodeCall(frame, call)) {
                FUZZ_CHECK(call.bytes.size() <= bridge::kMaxBuffer + 16);
                FUZZ_CHECK(bridge::encode(bridge::encodeCall(call)) == bridge::encode(frame));
            }
            // The client's side: what a reply may hand back into the caller's buffer.
            std::int32_t result = 0;
            if (frame.type == bridge::Type::Result && bridge::getInt(frame.payload, 0, result)) {
                const std::size_t forwarded = bridge::forwardedBytes(capacity, false);
                const std::size_t copied = std::min(forwarded, frame.payload.size() - 4);
                FUZZ_CHECK(copied <= bridge::kMaxBuffer);
                FUZZ_CHECK(capacity <= 0 ? copied == 0 : copied <= static_cast<std::size_t>(capacity));
            }
        }
    }
    return 0;
}
