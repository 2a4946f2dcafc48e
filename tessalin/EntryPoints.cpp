// The five exported entry points. Everything else in the library is hidden.

#include "AddressText.h"
#include "CallGate.h"
#include "EncoderLink.h"
#include "NetworkConfig.h"
#include "tessalin.h"

#include <algorithm>

namespace {

using tessalin::CallGate;
using tessalin::Deadline;
using tessalin::EncoderLink;
using tessalin::Outcome;
namespace wire = tessalin::wire;

constexpr std::uint8_t kSuccess = 0;
constexpr std::uint8_t kLinkDown = 1;
constexpr std::uint8_t kTimedOut = 2;
constexpr std::uint8_t kVerifyError = 4;
constexpr std::uint8_t kAlreadyConnected = 5;

CallGate &theGate()
{
    static CallGate gate;
    return gate;
}

EncoderLink &theLink()
{
    static EncoderLink link;
    return link;
}

// Runs one call on the link within one deadline taken at entry, in turn with
// calls from other threads. The body's code, or 1 when a disconnect from
// another thread ended the call, or 2 when its turn did not come in time.
template <typename Body>
std::uint8_t runCall(Body body)
{
    Deadline deadline(tessalin::callBudget());
    std::uint64_t ticket = 0;
    switch (theGate().enter(deadline, ticket)) {
    case CallGate::Turn::Cancelled:
        return kLinkDown;
    case CallGate::Turn::TimedOut:
        return kTimedOut;
    case CallGate::Turn::Granted:
        break;
    }
    const std::uint8_t code = body(deadline, theLink());
    const bool cancelled = theGate().leave(ticket, [] { theLink().close(); });
    return cancelled ? kLinkDown : code;
}

void endEveryCall()
{
    theGate().disconnect([] { theLink().close(); });
}

// Performs the exchange and reduces it to the status byte the encoder sent,
// or to the code of what went wrong on the way.
std::uint8_t configurationExchange(EncoderLink &link, const Deadline &deadline, wire::MessageType request,
                                   const std::uint8_t *payload, std::size_t length, wire::MessageType replyType,
                                   std::size_t successLength, wire::Frame &reply)
{
    if (!link.isOpen())
        return kLinkDown;
    const Outcome outcome = link.exchange(request, payload, length, replyType, deadline, reply);
    if (outcome != Outcome::Ok)
        return tessalin::resultCode(outcome);
    const bool wellFormed = !reply.payload.empty()
                            && reply.payload.size() == (reply.payload[0] == kSuccess ? successLength : 1);
    if (!wellFormed) {
        link.close();
        return tessalin::resultCode(Outcome::Malformed);
    }
    return reply.payload[0];
}

std::uint8_t connectLink(EncoderLink &link, const Deadline &deadline, const char *address, int32_t mode, int32_t port)
{
    if (link.isAlive())
        return kAlreadyConnected;
    link.close();   // a link the encoder dropped is forgotten, not reported

    const auto encoder = tessalin::parseEncoderAddress(address);
    if (!encoder || port < 1 || port > 65535)
        return kLinkDown;
    Outcome outcome = link.open(*encoder, static_cast<std::uint16_t>(port), deadline);
    if (outcome != Outcome::Ok)
        return tessalin::resultCode(outcome);

    const std::uint32_t m = static_cast<std::uint32_t>(mode);
    const std::uint8_t hello[4] = {static_cast<std::uint8_t>(m >> 24), static_cast<std::uint8_t>(m >> 16),
                                   static_cast<std::uint8_t>(m >> 8), static_cast<std::uint8_t>(m)};
    wire::Frame reply;
    outcome = link.exchange(wire::MessageType::Hello, hello, sizeof hello, wire::MessageType::HelloReply, deadline,
                            reply);
    if (outcome != Outcome::Ok)
        return tessalin::resultCode(outcome);
    if (reply.payload.size() != 3) {
        link.close();
        return tessalin::resultCode(Outcome::Malformed);
    }
    const std::uint8_t status = reply.payload[0];
    const unsigned model = (unsigned{reply.payload[1]} << 8) | reply.payload[2];
    if (status != kSuccess || model != wire::kModelNumber) {
        link.close();
        return status != kSuccess ? status : kVerifyError;
    }
    return kSuccess;
}

} // namespace

extern "C" {

int32_t S_Connect(const char *address, int32_t mode, int32_t port)
{
    return runCall([&](const Deadline &deadline, EncoderLink &link) {
        return connectLink(link, deadline, address, mode, port);
    });
}

void S_Disconnect(void) { endEveryCall(); }

int32_t ConfigRead(uint8_t *buffer, int32_t capacity)
{
    if (!buffer || capacity < static_cast<int32_t>(tessalin::kReplySize))
        return 0;
    wire::Frame reply;
    const std::uint8_t status = runCall([&](const Deadline &deadline, EncoderLink &link) {
        return configurationExchange(link, deadline, wire::MessageType::Read, nullptr, 0,
                                     wire::MessageType::ReadReply, 1 + tessalin::kReplySize, reply);
    });
    if (status != kSuccess) {
        buffer[0] = status;
        return 1;
    }
    std::copy_n(reply.payload.begin() + 1, tessalin::kReplySize, buffer);
    return static_cast<int32_t>(tessalin::kReplySize);
}

int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    if (!buffer || capacity < static_cast<int32_t>(tessalin::kRequestSize))
        return 0;
    const std::uint8_t status = runCall([&](const Deadline &deadline, EncoderLink &link) {
        wire::Frame reply;
        const std::uint8_t code = configurationExchange(link, deadline, wire::MessageType::Write, buffer,
                                                        tessalin::kRequestSize, wire::MessageType::WriteReply,
                                                        1 + tessalin::kRequestSize, reply);
        if (code == kSuccess && !std::equal(buffer, buffer + tessalin::kRequestSize, reply.payload.begin() + 1))
            return kVerifyError;   // the encoder stored something other than what we sent
        return code;
    });
    buffer[0] = status;
    return 1;
}

// Neither waits for a call in progress: each ends it, and it returns 1.
void DLLClose(void) { endEveryCall(); }

} // extern "C"
