// libtessalin-bridge.so: the five entry points of the device library, served
// by a Windows DLL in a host process under Wine (one host per client process).
// Each call keeps the native library's per-call deadline: a host that dies
// gives the link-failure code, one that does not answer in time the time-out
// code (and is ended); the next S_Connect starts a fresh host.

#include "BridgeFrame.h"
#include "Deadline.h"
#include "WineHost.h"
#include "tessalin.h"
#include "tessalin_bridge.h"
#include "tessalin_codes.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#define BRIDGE_API extern "C" __attribute__((visibility("default")))

namespace {

namespace bridge = pnv::winebridge;

std::mutex g_bindLock;
std::shared_ptr<bridge::WineHost> g_host;   // null until bound

std::shared_ptr<bridge::WineHost> currentHost()
{
    std::lock_guard<std::mutex> lock(g_bindLock);
    return g_host;
}

std::int32_t budgetMs() { return static_cast<std::int32_t>(tessalin::callBudget().count()); }

// READ and WRITE: forward the buffer, copy back what the DLL left in it.
std::int32_t bufferCall(bridge::Type type, std::uint8_t *buffer, std::int32_t capacity)
{
    const auto host = currentHost();
    bridge::CallRequest call;
    call.type = type;
    call.budgetMs = budgetMs();
    call.capacity = capacity;
    call.nullBuffer = buffer == nullptr;
    const std::size_t forwarded = bridge::forwardedBytes(capacity, call.nullBuffer);
    if (forwarded)
        call.bytes.assign(buffer, buffer + forwarded);
    bridge::Reply reply;
    const std::uint8_t failure = host ? host->call(call, reply) : TESSALIN_LINK_DOWN;
    if (failure != TESSALIN_SUCCESS) {
        // The native library reports a failed exchange as a status byte.
        if (!buffer || capacity < 1)
            return 0;
        buffer[0] = failure;
        return 1;
    }
    std::copy_n(reply.bytes.begin(), std::min(forwarded, reply.bytes.size()), buffer);
    return reply.result;
}

} // namespace

BRIDGE_API int TessalinBridge_Bind(const char *dllPath, char *error, size_t errorSize)
{
    std::string message;
    auto host = bridge::WineHost::create(dllPath ? dllPath : "", message);
    if (!host) {
        if (error && errorSize) {
            std::strncpy(error, message.c_str(), errorSize - 1);
            error[errorSize - 1] = '\0';
        }
        return -1;
    }
    host->start();   // the first call should not pay for the start
    std::shared_ptr<bridge::WineHost> previous;
    {
        std::lock_guard<std::mutex> lock(g_bindLock);
        previous = std::move(g_host);
        g_host = std::move(host);
    }
    return 0;
}

BRIDGE_API void TessalinBridge_SetLog(void (*sink)(void *context, const char *line), void *context)
{
    bridge::setLogSink(sink, context);
}

BRIDGE_API int TessalinBridge_PreparingPrefix(void)
{
    const auto host = currentHost();
    return host && host->preparingPrefix() ? 1 : 0;
}

BRIDGE_API int32_t S_Connect(const char *address, int32_t mode, int32_t port)
{
    const auto host = currentHost();
    if (!host)
        return TESSALIN_LINK_DOWN;
    bridge::CallRequest call;
    call.type = bridge::Type::Connect;
    call.budgetMs = budgetMs();
    call.mode = mode;
    call.port = port;
    // The native library reads at most 16 bytes and needs a NUL among them;
    // a shorter or missing text is refused there, so forward exactly 16.
    call.bytes.assign(16, 0);
    if (address)
        for (std::size_t i = 0; i < 16 && address[i]; ++i)
            call.bytes[i] = static_cast<std::uint8_t>(address[i]);
    else
        call.bytes.assign(16, 0xff);   // no NUL: refused like a null pointer
    bridge::Reply reply;
    const std::uint8_t failure = host->call(call, reply);
    return failure != TESSALIN_SUCCESS ? failure : reply.result;
}

BRIDGE_API void S_Disconnect(void)
{
    if (const auto host = currentHost())
        host->notify(bridge::Type::Disconnect);
}

BRIDGE_API int32_t ConfigRead(uint8_t *buffer, int32_t capacity)
{
    return bufferCall(bridge::Type::Read, buffer, capacity);
}

BRIDGE_API int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    return bufferCall(bridge::Type::Write, buffer, capacity);
}

BRIDGE_API void DLLClose(void)
{
    if (const auto host = currentHost()) {
        host->notify(bridge::Type::Close);
        host->finish();
    }
}
