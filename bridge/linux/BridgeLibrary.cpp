// libtessalin-bridge.so: the five entry points of the device library, served
// by a Windows DLL in a host process under Wine. Each binding has a host of
// its own: the plain five names serve the last TessalinBridge_Bind, and each
// TessalinBridge_Open hands out a slot, a set of the five that serves only
// its own DLL, until TessalinBridge_Release. Each call keeps the native
// library's per-call deadline: a host that dies gives the link-failure code,
// one that does not answer in time the time-out code (and is ended); the next
// S_Connect starts a fresh host.

#include "BridgeFrame.h"
#include "CallFailure.h"
#include "Deadline.h"
#include "WineHost.h"
#include "tessalin.h"
#include "tessalin_bridge.h"
#include "tessalin_codes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#define BRIDGE_API extern "C" __attribute__((visibility("default")))

namespace {

namespace bridge = pnv::winebridge;

// Slot 0 is the plain names'; 1 to TESSALIN_BRIDGE_SLOTS are handed out.
constexpr std::size_t kSlotCount = TESSALIN_BRIDGE_SLOTS + 1;

std::mutex g_bindLock;
std::array<std::shared_ptr<bridge::WineHost>, kSlotCount> g_hosts;   // null while free

std::shared_ptr<bridge::WineHost> hostOf(std::size_t slot)
{
    std::lock_guard<std::mutex> lock(g_bindLock);
    return g_hosts[slot];
}

std::int32_t budgetMs() { return static_cast<std::int32_t>(tessalin::callBudget().count()); }

void copyError(const std::string &message, char *error, size_t errorSize)
{
    if (error && errorSize) {
        std::strncpy(error, message.c_str(), errorSize - 1);
        error[errorSize - 1] = '\0';
    }
}

std::int32_t connectLink(std::size_t slot, const char *address, std::int32_t mode, std::int32_t port)
{
    const auto host = hostOf(slot);
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

void disconnectLink(std::size_t slot)
{
    if (const auto host = hostOf(slot))
        host->notify(bridge::Type::Disconnect);
}

// READ and WRITE: forward the buffer, copy back what the DLL left in it.
std::int32_t bufferCall(std::size_t slot, bridge::Type type, std::uint8_t *buffer, std::int32_t capacity)
{
    const auto host = hostOf(slot);
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

void closeLibrary(std::size_t slot)
{
    if (const auto host = hostOf(slot)) {
        host->notify(bridge::Type::Close);
        host->finish();
    }
}

// The five of one slot, as plain functions a caller can hold.
template <std::size_t Slot>
struct SlotCalls {
    static std::int32_t S_Connect(const char *address, std::int32_t mode, std::int32_t port)
    {
        return connectLink(Slot, address, mode, port);
    }
    static void S_Disconnect() { disconnectLink(Slot); }
    static std::int32_t ConfigRead(std::uint8_t *buffer, std::int32_t capacity)
    {
        return bufferCall(Slot, bridge::Type::Read, buffer, capacity);
    }
    static std::int32_t ConfigWrite(std::uint8_t *buffer, std::int32_t capacity)
    {
        return bufferCall(Slot, bridge::Type::Write, buffer, capacity);
    }
    static void DLLClose() { closeLibrary(Slot); }
};

template <std::size_t... Slot>
constexpr std::array<TessalinBridgeTable, sizeof...(Slot)> makeTables(std::index_sequence<Slot...>)
{
#define PNV_SLOT_MEMBER(name, result, parameters) &SlotCalls<Slot>::name,
    return {{TessalinBridgeTable{TESSALIN_ENTRY_POINTS(PNV_SLOT_MEMBER)}...}};
#undef PNV_SLOT_MEMBER
}
constexpr auto kTables = makeTables(std::make_index_sequence<kSlotCount>());

// Puts `host` in `slot`; the host it replaces ends as this returns, outside the lock.
void place(std::size_t slot, std::shared_ptr<bridge::WineHost> host)
{
    std::lock_guard<std::mutex> lock(g_bindLock);
    std::swap(g_hosts[slot], host);
}

} // namespace

BRIDGE_API int TessalinBridge_Bind(const char *dllPath, char *error, size_t errorSize)
{
    std::string message;
    auto host = bridge::WineHost::create(dllPath ? dllPath : "", message);
    if (!host) {
        copyError(message, error, errorSize);
        return -1;
    }
    host->start();   // the first call should not pay for the start
    place(0, std::move(host));
    return 0;
}

BRIDGE_API int TessalinBridge_Open(const char *dllPath, int flags, char *error, size_t errorSize,
                                   TessalinBridgeTable *table)
{
    const std::string dll = dllPath ? dllPath : "";
    std::string message;
    auto host = bridge::WineHost::create(dll, message);
    if (!host) {
        copyError(message, error, errorSize);
        return -1;
    }
    std::size_t slot = 0;
    {
        std::lock_guard<std::mutex> lock(g_bindLock);
        for (std::size_t free = 1; free < kSlotCount && !slot; ++free)
            if (!g_hosts[free])
                slot = free;
        if (slot)
            g_hosts[slot] = host;
    }
    if (!slot) {
        copyError(dll + ": cannot be bound: " + std::to_string(TESSALIN_BRIDGE_SLOTS)
                      + " Windows DLLs are bound in this program already, the most it can hold at once",
                  error, errorSize);
        return -1;
    }
    // The first call should not pay for the start; a binding that only
    // checks the DLL should not pay for it at all.
    if (!(flags & TESSALIN_BRIDGE_START_ON_CONNECT))
        host->start();
    if (table)
        *table = kTables[slot];
    return static_cast<int>(slot);
}

BRIDGE_API void TessalinBridge_Release(int slot)
{
    if (slot >= 1 && static_cast<std::size_t>(slot) < kSlotCount)
        place(static_cast<std::size_t>(slot), nullptr);
}

BRIDGE_API void TessalinBridge_SetLog(void (*sink)(void *context, const char *line), void *context)
{
    bridge::setLogSink(sink, context);
}

BRIDGE_API int TessalinBridge_LastFailure(char *text, size_t textSize)
{
    std::string line;
    const int kind = bridge::lastFailure(line);
    copyError(line, text, textSize);
    return kind;
}

BRIDGE_API int TessalinBridge_SlotPreparingPrefix(int slot)
{
    if (slot < 0 || static_cast<std::size_t>(slot) >= kSlotCount)
        return 0;
    const auto host = hostOf(static_cast<std::size_t>(slot));
    return host && host->preparingPrefix() ? 1 : 0;
}

BRIDGE_API int32_t S_Connect(const char *address, int32_t mode, int32_t port) { return connectLink(0, address, mode, port); }
BRIDGE_API void S_Disconnect(void) { disconnectLink(0); }
BRIDGE_API int32_t ConfigRead(uint8_t *buffer, int32_t capacity) { return bufferCall(0, bridge::Type::Read, buffer, capacity); }
BRIDGE_API int32_t ConfigWrite(uint8_t *buffer, int32_t capacity) { return bufferCall(0, bridge::Type::Write, buffer, capacity); }
BRIDGE_API void DLLClose(void) { closeLibrary(0); }
