// tessalin-host32.exe / tessalin-host64.exe: loads one device library by
// path and serves its five entry points to the bridge library over standard
// input and output (framing in BridgeFrame.h). It ends when its input
// closes, so it never outlives its client. While one thread runs a call,
// another keeps reading, so that S_Disconnect and DLLClose reach the library
// while a call is in progress, as they do in-process.

#include "BridgeFrame.h"
#include "tessalin_entry_points.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

namespace bridge = pnv::winebridge;

struct Api {
    TESSALIN_ENTRY_POINTS(TESSALIN_POINTER_MEMBER)
};

// Exit codes, for the bridge's diagnostics.
constexpr UINT kExitLoadFailed = 2;
constexpr UINT kExitCrashed = 3;
constexpr UINT kExitBadInput = 4;

HANDLE g_out = INVALID_HANDLE_VALUE;
std::mutex g_outLock;

void send(const bridge::Frame &frame)
{
    const auto bytes = bridge::encode(frame);
    std::lock_guard<std::mutex> lock(g_outLock);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!::WriteFile(g_out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) || n == 0)
            ::ExitProcess(0);   // the client is gone
        done += n;
    }
}

void fail(const std::string &message)
{
    bridge::Frame frame{bridge::Type::Failed, 0, std::vector<std::uint8_t>(message.begin(), message.end())};
    send(frame);
    ::ExitProcess(kExitLoadFailed);
}

std::string narrow(const std::wstring &text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    return out;
}

// A library that crashes ends this process at once, without a crash dialog or
// debugger; the bridge sees the pipe close and reports a broken link.
LONG WINAPI endOnCrash(EXCEPTION_POINTERS *) { ::TerminateProcess(::GetCurrentProcess(), kExitCrashed); return 0; }

// Two threads take turns as the reader of standard input, and the reader runs
// the calls it reads itself, so that a call waits for no thread hand-off (under
// Wine a wake-up through an event or a condition costs more than the call).
// The other thread looks in every kLookInMs: when a call has run that long,
// it takes over the reading, so that a disconnect sent meanwhile reaches the
// library while the call still runs; the caller becomes the looker-in.
class Server final {
public:
    explicit Server(const Api &api) : m_api(api) {}

    void serve(int self)
    {
        for (;;) {
            if (!isReader(self)) {
                ::Sleep(kLookInMs);
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_reader != self && m_inCall && ::GetTickCount64() - m_callStart >= kLookInMs)
                    m_reader = self;
                continue;
            }
            bridge::CallRequest call = readUntilCall();
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_inCall = true;
                m_callStart = ::GetTickCount64();
            }
            send(perform(call));
            std::lock_guard<std::mutex> lock(m_lock);
            m_inCall = false;
        }
    }

private:
    // Reads frames, running S_Disconnect and DLLClose as they come, until a
    // call arrives. Ends the process when the input closes.
    bridge::CallRequest readUntilCall()
    {
        for (;;) {
            while (m_used < m_filled) {
                m_used += m_decoder.feed(m_chunk + m_used, m_filled - m_used);
                if (m_decoder.state() == bridge::Decoder::State::Malformed)
                    ::ExitProcess(kExitBadInput);
                if (m_decoder.state() != bridge::Decoder::State::FrameReady)
                    continue;
                const bridge::Frame frame = m_decoder.take();
                bridge::CallRequest call;
                if (!bridge::decodeCall(frame, call))
                    ::ExitProcess(kExitBadInput);
                if (frame.type == bridge::Type::Disconnect)
                    m_api.S_Disconnect();
                else if (frame.type == bridge::Type::Close)
                    m_api.DLLClose();
                else
                    return call;
            }
            DWORD n = 0;
            // Input closed: the client is gone or done. Ending the process
            // also ends a call that never returns.
            if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), m_chunk, sizeof m_chunk, &n, nullptr) || n == 0)
                ::ExitProcess(0);
            m_filled = n;
            m_used = 0;
        }
    }

    bridge::Frame perform(bridge::CallRequest &call)
    {
        // The budget rides on every call, so a lowered one reaches our own
        // library as it would in-process; another library ignores it.
        if (call.budgetMs != m_budget) {
            m_budget = call.budgetMs;
            const std::string value = std::to_string(call.budgetMs);
            ::_putenv_s("TESSALIN_TIMEOUT_MS", value.c_str());
        }
        bridge::Frame reply{bridge::Type::Result, 0, {}};
        if (call.type == bridge::Type::Connect) {
            char address[16];
            std::copy_n(call.bytes.begin(), sizeof address, address);
            bridge::putInt(reply.payload, m_api.S_Connect(address, call.mode, call.port));
            return reply;
        }
        // Whatever the library scribbles stays within what we hand it.
        const std::size_t forwarded = call.bytes.size();
        const std::int32_t capacity = call.capacity > 0 ? static_cast<std::int32_t>(forwarded) : call.capacity;
        call.bytes.resize(std::max<std::size_t>(forwarded, 1));
        std::uint8_t *buffer = call.nullBuffer ? nullptr : call.bytes.data();
        const std::int32_t result = call.type == bridge::Type::Read ? m_api.ConfigRead(buffer, capacity)
                                                                    : m_api.ConfigWrite(buffer, capacity);
        bridge::putInt(reply.payload, result);
        reply.payload.insert(reply.payload.end(), call.bytes.begin(),
                             call.bytes.begin() + static_cast<std::ptrdiff_t>(forwarded));
        return reply;
    }

    bool isReader(int self)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_reader == self;
    }

    static constexpr DWORD kLookInMs = 10;
    Api m_api;
    std::mutex m_lock;
    int m_reader = 0;
    bool m_inCall = false;
    ULONGLONG m_callStart = 0;
    // The reader's input, handed from one reader to the next under m_lock.
    bridge::Decoder m_decoder;
    std::uint8_t m_chunk[8192];
    std::size_t m_used = 0;
    std::size_t m_filled = 0;
    std::int32_t m_budget = -1;
};

template <typename Fn>
void resolve(HMODULE module, const char *name, Fn &slot, const std::string &path)
{
    slot = reinterpret_cast<Fn>(reinterpret_cast<void *>(::GetProcAddress(module, name)));
    if (!slot)
        fail(path + ": entry point '" + name + "' not found");
}

} // namespace

int main()
{
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(endOnCrash);
    g_out = ::GetStdHandle(STD_OUTPUT_HANDLE);

    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc != 2)
        fail("usage: tessalin-host DLL-PATH");
    const std::wstring path = argv[1];
    const std::string pathText = narrow(path);

    const HMODULE module = ::LoadLibraryW(path.c_str());
    if (!module)
        fail(pathText + ": cannot be loaded (Windows error " + std::to_string(::GetLastError()) + ")");
    Api api;
#define RESOLVE(name, result, parameters) resolve(module, #name, api.name, pathText);
    TESSALIN_ENTRY_POINTS(RESOLVE)
#undef RESOLVE

    bridge::Frame ready{bridge::Type::Ready, 0, {}};
    bridge::putInt(ready.payload, static_cast<std::int32_t>(sizeof(void *) * 8));
    send(ready);

    Server server(api);
    std::thread second([&server] { server.serve(1); });
    second.detach();
    server.serve(0);
    ::ExitProcess(0);
}
