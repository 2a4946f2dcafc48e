// The device library's entry points against an encoder that answers with
// whatever the input says: sound replies, replies with one thing wrong, or raw
// bytes, cut short or followed by a hang-up. The fake encoder listens on
// 127.0.0.1 only.
//
// Checked on every run: nothing is written at or beyond `capacity` (guard
// bytes), nothing within it beyond the bytes the count covers, the count is one
// docs/protocol.md allows, every call ends within its budget, the requests on
// the wire are the ones asked for, the link is let go after S_Disconnect, and,
// where the reply is well defined, the exact code the caller gets.

#include "FakeEncoder.h"
#include "FuzzCheck.h"
#include "WireFrame.h"
#include "tessalin.h"
#include "tessalin_codes.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace wire = tessalin::wire;
using pnv::fuzz::Answer;
using pnv::fuzz::FakeEncoder;
using Clock = std::chrono::steady_clock;

// The call budget the library is given, unless TESSALIN_TIMEOUT_MS already
// names one: 50 ms makes a silent encoder cheap and is still far above the
// time a sound exchange on loopback takes.
int budgetMs = 50;
// A loaded machine with sanitizers may be slow to close a socket or to wake a
// thread; anything beyond this is a call that forgot its deadline.
constexpr int kSlackMs = 500;
constexpr std::size_t kGuardSize = 32;
constexpr std::size_t kReplySize = TESSALIN_CONFIG_REPLY_SIZE;
constexpr std::size_t kRequestSize = TESSALIN_CONFIG_REQUEST_SIZE;
constexpr std::int32_t kCapacities[] = {26, 20, 1, 500};
constexpr std::uint8_t kLinkDown = 1, kTimedOut = 2, kReceiveError = 3, kVerifyError = 4;

const std::array<std::uint8_t, kReplySize> kSoundRecord = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 172, 16, 30, 1,
                                                          0x0B, 0xB9, 172, 16, 0, 1, 0x02, 0xBC, 172, 16,
                                                          0, 1, 255, 255, 0, 0};

// How the fake encoder answers one request.
struct AnswerPlan {
    bool raw = false;
    std::vector<std::uint8_t> rawBytes;
    // A frame built from parts, each of which may be wrong.
    std::optional<std::uint8_t> wrongType;
    std::optional<std::uint16_t> wrongSequence;
    bool badChecksum = false;
    bool fuzzedPayload = false;   // otherwise the payload has the expected layout
    std::vector<std::uint8_t> payload;
    std::uint8_t status = 0;
    std::uint16_t model = wire::kModelNumber;
    int flippedBit = -1;           // of the record a WRITE-REPLY echoes
    std::vector<std::uint8_t> trailing;
    // Delivery.
    std::optional<std::size_t> keptBytes;   // cut the answer after that many bytes
    bool closeAfter = false;
};

AnswerPlan readPlan(FuzzedDataProvider &input, wire::MessageType request)
{
    AnswerPlan plan;
    plan.raw = input.ConsumeIntegralInRange<int>(0, 3) == 0;
    if (plan.raw) {
        plan.rawBytes = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 160));
    } else {
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0)
            plan.wrongType = input.ConsumeIntegral<std::uint8_t>();
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0)
            plan.wrongSequence = input.ConsumeIntegral<std::uint16_t>();
        plan.badChecksum = input.ConsumeIntegralInRange<int>(0, 7) == 0;
        plan.fuzzedPayload = input.ConsumeIntegralInRange<int>(0, 3) == 0;
        if (plan.fuzzedPayload) {
            plan.payload = input.ConsumeBytes<std::uint8_t>(
                input.ConsumeIntegralInRange<std::size_t>(0, wire::kMaxPayload));
        } else {
            if (input.ConsumeBool())
                plan.status = input.ConsumeIntegral<std::uint8_t>();
            if (request == wire::MessageType::Hello && input.ConsumeIntegralInRange<int>(0, 3) == 0)
                plan.model = input.ConsumeIntegral<std::uint16_t>();
            if (request == wire::MessageType::Read)
                plan.payload = input.ConsumeBytes<std::uint8_t>(kReplySize);
            if (request == wire::MessageType::Write && input.ConsumeIntegralInRange<int>(0, 3) == 0)
                plan.flippedBit = input.ConsumeIntegralInRange<int>(0, 8 * kRequestSize - 1);
        }
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0)
            plan.trailing = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 16));
    }
    if (input.ConsumeIntegralInRange<int>(0, 3) == 0)
        plan.keptBytes = input.ConsumeIntegralInRange<std::size_t>(0, 100);
    plan.closeAfter = input.ConsumeBool();
    return plan;
}

wire::MessageType replyTypeOf(std::uint8_t requestType)
{
    return static_cast<wire::MessageType>(requestType | 0x80);
}

// The payload a plan puts in its frame, given the request it answers.
std::vector<std::uint8_t> payloadOf(const AnswerPlan &plan, const wire::Frame &request)
{
    if (plan.fuzzedPayload)
        return plan.payload;
    std::vector<std::uint8_t> payload{plan.status};
    switch (static_cast<wire::MessageType>(request.type)) {
    case wire::MessageType::Hello:
        payload.push_back(static_cast<std::uint8_t>(plan.model >> 8));
        payload.push_back(static_cast<std::uint8_t>(plan.model));
        break;
    case wire::MessageType::Read:
        payload.insert(payload.end(), plan.payload.begin(), plan.payload.end());
        payload.resize(1 + kReplySize, 0);
        break;
    default:
        payload.insert(payload.end(), request.payload.begin(), request.payload.end());
        if (plan.flippedBit >= 0 && static_cast<std::size_t>(1 + plan.flippedBit / 8) < payload.size())
            payload[1 + plan.flippedBit / 8] ^= static_cast<std::uint8_t>(1U << (plan.flippedBit % 8));
        break;
    }
    return payload;
}

Answer answerFor(const AnswerPlan &plan, const wire::Frame &request)
{
    Answer answer;
    if (plan.raw) {
        answer.bytes = plan.rawBytes;
    } else {
        wire::Frame reply;
        reply.type = plan.wrongType.value_or(static_cast<std::uint8_t>(replyTypeOf(request.type)));
        reply.sequence = plan.wrongSequence.value_or(request.sequence);
        reply.payload = payloadOf(plan, request);
        answer.bytes = wire::encodeFrame(reply);
        if (plan.badChecksum)
            answer.bytes[11] ^= 0x01;
        answer.bytes.insert(answer.bytes.end(), plan.trailing.begin(), plan.trailing.end());
    }
    if (plan.keptBytes && *plan.keptBytes < answer.bytes.size())
        answer.bytes.resize(*plan.keptBytes);
    answer.closeAfter = plan.closeAfter;
    return answer;
}

Answer soundAnswer(const wire::Frame &request)
{
    wire::Frame reply;
    reply.type = static_cast<std::uint8_t>(replyTypeOf(request.type));
    reply.sequence = request.sequence;
    // Status 0, then the rest. Sized first and filled after: gcc 12 warns
    // falsely about inserting into a vector of one byte.
    if (request.type == static_cast<std::uint8_t>(wire::MessageType::Hello)) {
        reply.payload = {0, static_cast<std::uint8_t>(wire::kModelNumber >> 8),
                         static_cast<std::uint8_t>(wire::kModelNumber & 0xFF)};
    } else if (request.type == static_cast<std::uint8_t>(wire::MessageType::Read)) {
        reply.payload.assign(1 + kSoundRecord.size(), 0);
        std::copy(kSoundRecord.begin(), kSoundRecord.end(), reply.payload.begin() + 1);
    } else {
        reply.payload.assign(1 + request.payload.size(), 0);
        std::copy(request.payload.begin(), request.payload.end(), reply.payload.begin() + 1);
    }
    return {wire::encodeFrame(reply), false};
}

// What the caller must get for a plan, when that is well defined.
struct Expected {
    std::optional<std::uint8_t> code;   // nothing: only the general rules apply
    bool linkUp = false;
    std::vector<std::uint8_t> record;   // a successful READ's record
};

// The frame-level part, common to every exchange. True when the frame alone
// settles the outcome: `expected.code` then holds it, or nothing when the
// outcome is not certain.
bool frameDecides(const AnswerPlan &plan, const wire::Frame &request, Expected &expected)
{
    AnswerPlan uncut = plan;
    uncut.keptBytes.reset();
    const std::size_t fullSize = answerFor(uncut, request).bytes.size();
    if (plan.raw) {
        expected.code.reset();
        return true;
    }
    if (plan.keptBytes && *plan.keptBytes < fullSize) {
        const std::size_t frameSize = fullSize - plan.trailing.size();
        if (*plan.keptBytes < frameSize) {
            expected.code = plan.closeAfter ? kLinkDown : kTimedOut;
            return true;
        }
    }
    // A "wrong" number the input picked may happen to be the right one.
    const bool typeWrong = plan.wrongType && *plan.wrongType != static_cast<std::uint8_t>(replyTypeOf(request.type));
    const bool sequenceWrong = plan.wrongSequence && *plan.wrongSequence != request.sequence;
    if (plan.badChecksum || typeWrong || sequenceWrong) {
        expected.code = kReceiveError;
        return true;
    }
    if (!plan.trailing.empty()) {
        // Whether the stray bytes arrive with the frame or just after it is up
        // to the kernel: the outcome is either the frame's or a receive error.
        expected.code.reset();
        return true;
    }
    return false;
}

void checkUntouched(const std::vector<std::uint8_t> &buffer, const std::vector<std::uint8_t> &before,
                    std::size_t from)
{
    for (std::size_t i = from; i < buffer.size(); ++i)
        FUZZ_CHECK(buffer[i] == before[i]);
}

class Stopwatch final {
public:
    int elapsedMs() const
    {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
    }
    void checkBound() const { FUZZ_CHECK(elapsedMs() <= budgetMs + kSlackMs); }
    // A time-out is an answer any exchange may give once its budget is spent.
    bool budgetSpent() const { return elapsedMs() >= budgetMs - 1; }

private:
    Clock::time_point m_start = Clock::now();
};

void checkCode(std::uint8_t got, const Expected &expected, const Stopwatch &watch)
{
    if (got == kTimedOut && watch.budgetSpent())
        return;
    if (expected.code && got != *expected.code) {
        std::fprintf(stderr, "code %u where %u was due, after %d ms\n", unsigned{got}, unsigned{*expected.code},
                     watch.elapsedMs());
        FUZZ_CHECK(got == *expected.code);
    }
}

FakeEncoder &encoder()
{
    static FakeEncoder *instance = new FakeEncoder;   // never torn down: its thread runs until exit
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A silent encoder should cost milliseconds, not the 3 s a user waits.
    const char *given = std::getenv("TESSALIN_TIMEOUT_MS");
    const int budget = given ? std::atoi(given) : 0;
    if (budget >= 1 && budget <= 3000)
        budgetMs = budget;
    else
        setenv("TESSALIN_TIMEOUT_MS", std::to_string(budgetMs).c_str(), 1);
    encoder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool writing = input.ConsumeBool();
    const std::int32_t capacity = input.PickValueInArray(kCapacities);
    const std::int32_t mode = input.ConsumeBool() ? TESSALIN_CONNECT_MODE : input.ConsumeIntegral<std::int32_t>();
    static const char *const kLoopbackTexts[] = {"127.0.0.1", "127.000.000.001", "127.0.0.01"};
    char address[16] = {};
    std::strncpy(address, input.PickValueInArray(kLoopbackTexts), sizeof address - 1);
    std::vector<std::uint8_t> request = input.ConsumeBytes<std::uint8_t>(kRequestSize);
    request.resize(kRequestSize, 0);
    const bool reconnect = input.ConsumeBool();
    const AnswerPlan helloPlan = readPlan(input, wire::MessageType::Hello);
    const AnswerPlan answerPlan = readPlan(input, writing ? wire::MessageType::Write : wire::MessageType::Read);

    int answered = 0;
    encoder().setScript([&](const wire::Frame &frame) {
        switch (answered++) {
        case 0:
            return answerFor(helloPlan, frame);
        case 1:
            return answerFor(answerPlan, frame);
        default:
            return soundAnswer(frame);
        }
    });

    // Connect.
    Expected connectExpected;
    std::int32_t connectCode = 0;
    {
        wire::Frame hello;
        hello.type = static_cast<std::uint8_t>(wire::MessageType::Hello);
        hello.sequence = 1;
        hello.payload.resize(4);
        const Stopwatch watch;
        connectCode = S_Connect(address, mode, encoder().port());
        watch.checkBound();
        FUZZ_CHECK(connectCode >= 0 && connectCode <= 255);

        if (!frameDecides(helloPlan, hello, connectExpected)) {
            const std::vector<std::uint8_t> payload = payloadOf(helloPlan, hello);
            if (payload.size() != 3)
                connectExpected.code = kReceiveError;
            else if (payload[0] != 0)
                connectExpected.code = payload[0];
            else
                connectExpected.code = ((payload[1] << 8) | payload[2]) == wire::kModelNumber ? 0 : kVerifyError;
        }
        checkCode(static_cast<std::uint8_t>(connectCode), connectExpected, watch);
    }
    const bool linked = connectCode == 0;

    // The exchange under test.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(capacity) + kGuardSize);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 7));
    if (writing)
        std::copy_n(request.begin(), std::min<std::size_t>(kRequestSize, static_cast<std::size_t>(capacity)),
                    buffer.begin());
    const std::vector<std::uint8_t> before = buffer;
    const std::size_t needed = writing ? kRequestSize : kReplySize;
    const bool roomy = static_cast<std::size_t>(capacity) >= needed;

    Expected expected;
    expected.linkUp = linked && !helloPlan.closeAfter;
    std::int32_t count = 0;
    {
        const Stopwatch watch;
        count = writing ? ConfigWrite(buffer.data(), capacity) : ConfigRead(buffer.data(), capacity);
        watch.checkBound();
        checkUntouched(buffer, before, static_cast<std::size_t>(capacity));   // the guard bytes
        if (!roomy) {
            FUZZ_CHECK(count == 0);
            checkUntouched(buffer, before, 0);
        } else {
            if (writing)
                FUZZ_CHECK(count == 1);
            else
                FUZZ_CHECK(count == 1 || count == static_cast<std::int32_t>(kReplySize));
            checkUntouched(buffer, before, static_cast<std::size_t>(count));
        }

        // Bytes after the handshake reply may still be waiting: then the
        // exchange finds them instead of its own answer.
        const bool handshakeClean = !helloPlan.raw && helloPlan.trailing.empty();
        if (roomy && !linked) {
            expected.code = kLinkDown;
            expected.linkUp = false;
        } else if (roomy && !handshakeClean) {
            expected.code.reset();
        } else if (roomy && !expected.linkUp) {
            expected.code = kLinkDown;   // the encoder hung up after the handshake
        } else if (roomy) {
            wire::Frame sent;
            sent.type = static_cast<std::uint8_t>(writing ? wire::MessageType::Write : wire::MessageType::Read);
            sent.sequence = 2;
            if (writing)
                sent.payload = request;
            if (frameDecides(answerPlan, sent, expected)) {
                expected.linkUp = false;
            } else {
                const std::vector<std::uint8_t> payload = payloadOf(answerPlan, sent);
                const std::size_t successSize = 1 + needed;
                if (payload.empty() || payload.size() != (payload[0] == 0 ? successSize : 1)) {
                    expected.code = kReceiveError;
                    expected.linkUp = false;
                } else if (payload[0] != 0) {
                    expected.code = payload[0];
                } else if (writing) {
                    expected.code = std::equal(request.begin(), request.end(), payload.begin() + 1) ? 0 : kVerifyError;
                } else {
                    expected.code = 0;
                    expected.record.assign(payload.begin() + 1, payload.end());
                }
                if (answerPlan.closeAfter)
                    expected.linkUp = false;
            }
        }

        if (roomy) {
            const bool success = !writing && count == static_cast<std::int32_t>(kReplySize);
            const std::uint8_t got = success ? 0 : buffer[0];
            checkCode(got, expected, watch);
            if (success && expected.code == 0)
                FUZZ_CHECK(std::equal(expected.record.begin(), expected.record.end(), buffer.begin()));
        }
        if (watch.budgetSpent())
            expected.code.reset();   // whatever happened, the budget decided it
    }

    // One more read: a link the library gave up must stay down, a sound one works.
    if (roomy) {
        std::vector<std::uint8_t> again(kReplySize + kGuardSize, 0x5A);
        const Stopwatch watch;
        const std::int32_t againCount = ConfigRead(again.data(), static_cast<std::int32_t>(kReplySize));
        watch.checkBound();
        FUZZ_CHECK(againCount == 1 || againCount == static_cast<std::int32_t>(kReplySize));
        for (std::size_t i = static_cast<std::size_t>(againCount); i < again.size(); ++i)
            FUZZ_CHECK(again[i] == 0x5A);
        const bool timedOut = againCount == 1 && again[0] == kTimedOut && watch.budgetSpent();
        if (expected.code && !timedOut) {
            if (expected.linkUp) {
                FUZZ_CHECK(againCount == static_cast<std::int32_t>(kReplySize));
                FUZZ_CHECK(std::equal(kSoundRecord.begin(), kSoundRecord.end(), again.begin()));
            } else {
                FUZZ_CHECK(againCount == 1 && again[0] == kLinkDown);
            }
        }
        // Connecting over a link that is still up keeps it and says so.
        if (expected.code && expected.linkUp && !timedOut && reconnect) {
            const Stopwatch connectWatch;
            const std::int32_t code = S_Connect(address, mode, encoder().port());
            connectWatch.checkBound();
            FUZZ_CHECK(code == 5);
        }
    }

    S_Disconnect();
    bool heldOpen = false;
    const std::vector<wire::Frame> requests = encoder().waitForSessionEnd(heldOpen);
    FUZZ_CHECK(!heldOpen);   // S_Disconnect lets go of the connection

    // The wire: HELLO with the mode as given, numbered from 1, then only the
    // requests that were asked for, then at most a BYE.
    FUZZ_CHECK(!requests.empty());
    const wire::Frame &hello = requests.front();
    FUZZ_CHECK(hello.type == static_cast<std::uint8_t>(wire::MessageType::Hello));
    FUZZ_CHECK(hello.sequence == 1);
    const auto m = static_cast<std::uint32_t>(mode);
    FUZZ_CHECK((hello.payload == std::vector<std::uint8_t>{static_cast<std::uint8_t>(m >> 24),
                                                           static_cast<std::uint8_t>(m >> 16),
                                                           static_cast<std::uint8_t>(m >> 8),
                                                           static_cast<std::uint8_t>(m)}));
    std::size_t next = 1;
    if (linked && roomy && next < requests.size()
        && requests[next].type != static_cast<std::uint8_t>(wire::MessageType::Bye)) {
        const wire::Frame &asked = requests[next++];
        FUZZ_CHECK(asked.sequence == 2);
        if (writing) {
            FUZZ_CHECK(asked.type == static_cast<std::uint8_t>(wire::MessageType::Write));
            FUZZ_CHECK(asked.payload == request);
        } else {
            FUZZ_CHECK(asked.type == static_cast<std::uint8_t>(wire::MessageType::Read));
            FUZZ_CHECK(asked.payload.empty());
        }
        if (next < requests.size() && requests[next].type == static_cast<std::uint8_t>(wire::MessageType::Read)) {
            FUZZ_CHECK(requests[next].sequence == 3);
            ++next;
        }
    }
    if (!linked || !roomy)
        FUZZ_CHECK(requests.size() <= 2);   // no traffic beyond the handshake and goodbye
    if (next < requests.size())
        FUZZ_CHECK(requests[next++].type == static_cast<std::uint8_t>(wire::MessageType::Bye));
    FUZZ_CHECK(next == requests.size());
    return 0;
}
