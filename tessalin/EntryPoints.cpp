// The five exported entry points. Everything else in the library is hidden.

#include "AddressText.h"
#include "EncoderLink.h"
#include "NetworkConfig.h"
#include "tessalin.h"

#include <algorithm>
#include <mutex>

namespace {

using tessalin::Deadline;
using tessalin::EncoderLink;
using tessalin::Outcome;
namespace wire = tessalin::wire;

constexpr std::uint8_t kSuccess = 0;
constexpr std::uint8_t kLinkDown = 1;
constexpr std::uint8_t kVerifyError = 4;
constexpr std::uint8_t kAlreadyConnected = 5;

std::mutex &callLock()
{
    static std::mutex lock;
    return lock;
}

EncoderLink &theLink()
{
    static EncoderLink link;
    return link;
}

Deadline startCall() { return Deadline(tessalin::callBudget()); }

// Performs the exchange and reduces it to the status byte the encoder sent,
// or to the code of what went wrong on the way.
std::uint8_t configurationExchange(wire::MessageType request, const std::uint8_t *payload, std::size_t length,
                                   wire::MessageType replyType, std::size_t successLength, wire::Frame &reply)
{
    const Deadline deadline = startCall();
    EncoderLink &link = theLink();
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

} // namespace

extern "C" {

int32_t S_Connect(const char *address, int32_t mode, int32_t port)
{
    std::lock_guard<std::mutex> guard(callLock());
    const Deadline deadline = startCall();
    EncoderLink &link = theLink();
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

void S_Disconnect(void)
{
    std::lock_guard<std::mutex> guard(callLock());
    theLink().close();
}

int32_t ConfigRead(uint8_t *buffer, int32_t capacity)
{
    std::lock_guard<std::mutex> guard(callLock());
    if (!buffer || capacity < static_cast<int32_t>(tessalin::kReplySize))
        return 0;
    wire::Frame reply;
    const std::uint8_t status = configurationExchange(wire::MessageType::Read, nullptr, 0,
                                                      wire::MessageType::ReadReply, 1 + tessalin::kReplySize, reply);
    if (status != kSuccess) {
        buffer[0] = status;
        return 1;
    }
    std::copy_n(reply.payload.begin() + 1, tessalin::kReplySize, buffer);
    return static_cast<int32_t>(tessalin::kReplySize);
}

int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    std::lock_guard<std::mutex> guard(callLock());
    if (!buffer || capacity < static_cast<int32_t>(tessalin::kRequestSize))
        return 0;
    wire::Frame reply;
    std::uint8_t status = configurationExchange(wire::MessageType::Write, buffer, tessalin::kRequestSize,
                                                wire::MessageType::WriteReply, 1 + tessalin::kRequestSize, reply);
    if (status == kSuccess
        && !std::equal(buffer, buffer + tessalin::kRequestSize, reply.payload.begin() + 1))
        status = kVerifyError;   // the encoder stored something other than what we sent
    buffer[0] = status;
    return 1;
}

void DLLClose(void)
{
    std::lock_guard<std::mutex> guard(callLock());
    theLink().close();
}

} // extern "C"
