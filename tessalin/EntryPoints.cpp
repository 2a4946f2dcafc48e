// The five exported entry points. Everything else in the library is hidden.

#include "AddressText.h"
#include "CallGate.h"
#include "EncoderLink.h"
#include "NetworkConfig.h"
#include "tessalin.h"
#include "tessalin_codes.h"

#include <algorithm>

namespace {

using tessalin::CallGate;
using tessalin::Deadline;
using tessalin::EncoderLink;
using tessalin::Outcome;
namespace wire = tessalin::wire;

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
        return TESSALIN_LINK_DOWN;
    case CallGate::Turn::TimedOut:
        return TESSALIN_TIME_OUT;
    case CallGate::Turn::Granted:
        break;
    }
    const std::uint8_t code = body(deadline, theLink());
    const bool cancelled = theGate().leave(ticket, [] { theLink().close(); });
    return cancelled ? TESSALIN_LINK_DOWN : code;
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
        return TESSALIN_LINK_DOWN;
    const Outcome outcome = link.exchange(request, payload, length, replyType, deadline, reply);
    if (outcome != Outcome::Ok)
        return tessalin::resultCode(outcome);
    const bool wellFormed = !reply.payload.empty()
                            && reply.payload.size() == (reply.payload[0] == TESSALIN_SUCCESS ? successLength : 1);
    if (!wellFormed) {
        link.close();
        return tessalin::resultCode(Outcome::Malformed);
    }
    return reply.payload[0];
}

std::uint8_t connectLink(EncoderLink &link, const Deadline &deadline, const char *address, int32_t mode, int32_t port)
{
    if (link.isAlive())
        return TESSALIN_ALREADY_CONNECTED;
    link.close();   // a link the encoder dropped is forgotten, not reported

    const auto encoder = tessalin::parseEncoderAddress(address);
    if (!encoder || port < 1 || port > 65535)
        return TESSALIN_LINK_DOWN;
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
    if (status != TESSALIN_SUCCESS || model != wire::kModelNumber) {
        link.close();
        return status != TESSALIN_SUCCESS ? status : TESSALIN_VERIFY_ERROR;
    }
    return TESSALIN_SUCCESS;
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
    if (!buffer || capacity < static_cast<int32_t>(TESSALIN_CONFIG_REPLY_SIZE))
        return 0;
    wire::Frame reply;
    const std::uint8_t status = runCall([&](const Deadline &deadline, EncoderLink &link) {
        return configurationExchange(link, deadline, wire::MessageType::Read, nullptr, 0,
                                     wire::MessageType::ReadReply, 1 + TESSALIN_CONFIG_REPLY_SIZE, reply);
    });
    if (status != TESSALIN_SUCCESS) {
        buffer[0] = status;
        return 1;
    }
    std::copy_n(reply.payload.begin() + 1, TESSALIN_CONFIG_REPLY_SIZE, buffer);
    return static_cast<int32_t>(TESSALIN_CONFIG_REPLY_SIZE);
}

int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    if (!buffer || capacity < static_cast<int32_t>(TESSALIN_CONFIG_REQUEST_SIZE))
        return 0;
    const std::uint8_t status = runCall([&](const Deadline &deadline, EncoderLink &link) -> std::uint8_t {
        wire::Frame reply;
        const std::uint8_t code = configurationExchange(link, deadline, wire::MessageType::Write, buffer,
                                                        TESSALIN_CONFIG_REQUEST_SIZE, wire::MessageType::WriteReply,
                                                        1 + TESSALIN_CONFIG_REQUEST_SIZE, reply);
        if (code == TESSALIN_SUCCESS && !std::equal(buffer, buffer + TESSALIN_CONFIG_REQUEST_SIZE, reply.payload.begin() + 1))
            return TESSALIN_VERIFY_ERROR;   // the encoder stored something other than what we sent
        return code;
    });
    buffer[0] = status;
    return 1;
}

// Neither waits for a call in progress: each ends it, and it returns 1.
void DLLClose(void) { endEveryCall(); }

} // extern "C"
