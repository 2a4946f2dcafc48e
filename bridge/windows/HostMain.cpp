// tessalin-host32.exe / tessalin-host64.exe: loads one device library by
// path and serves its five entry points to the bridge library (framing in
// BridgeFrame.h). It ends when its input closes, so it never outlives its
// client.
//
// The channel is private: the host keeps its own handles of the standard
// input (the calls) and output (the replies) it was started with, and the
// library (and whatever it starts) gets an empty input and the host's
// standard error, a log the bridge reads line by line, for its output, so
// that nothing it prints or reads can touch a frame.
//
// Every call runs on the thread that loaded the library. For a library that
// imports what can post it messages (a hidden window's, a socket's, COM's),
// that thread serves its queue whenever no call runs, as the UI thread of
// the program the library was written for does between clicks: a second
// thread reads the channel and hands each frame over through an event, and
// the loading thread sleeps in MsgWaitForMultipleObjects on that event and
// its queue together. Another library is spared the hand-off (and the
// wineserver round trip each look at the queue costs under Wine): its
// loading thread reads the channel itself.
// S_Disconnect and DLLClose sent while a call runs come through a FIFO the
// bridge makes for this host alone; a second thread, asleep until one comes,
// delivers them during the call, as they are in-process. The end of either
// channel ends the host.

#include "BridgeFrame.h"
#include "ImportTable.h"
#include "VendorWindows.h"
#include "tessalin_entry_points.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

namespace bridge = pnv::winebridge;

struct Api {
    TESSALIN_ENTRY_POINTS(TESSALIN_POINTER_MEMBER)
};

// Exit codes, for the bridge's diagnostics.
constexpr UINT kExitLoadFailed = 2;
constexpr UINT kExitCrashed = 3;
constexpr UINT kExitBadInput = 4;

HANDLE g_in = INVALID_HANDLE_VALUE;
HANDLE g_out = INVALID_HANDLE_VALUE;
std::mutex g_outLock;
// The entry point the current thread runs, for the crash report.
thread_local const char *t_entry = nullptr;
unsigned long g_loadingThread = 0;

void writeChannel(const std::uint8_t *data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        DWORD n = 0;
        if (!::WriteFile(g_out, data + done, static_cast<DWORD>(size - done), &n, nullptr) || n == 0)
            ::ExitProcess(0);   // the client is gone
        done += n;
    }
}

void send(const bridge::Frame &frame)
{
    const auto bytes = bridge::encode(frame);
    std::lock_guard<std::mutex> lock(g_outLock);
    writeChannel(bytes.data(), bytes.size());
}

void fail(const std::string &message)
{
    send(bridge::encodeFailed(message));
    ::ExitProcess(kExitLoadFailed);
}

// What to install for the runtimes vendors' DLLs need most, which a new
// Wine prefix lacks or has only in part; empty for any other DLL.
const char *adviceFor(const char *dll)
{
    const auto is = [dll](const char *prefix) { return ::_strnicmp(dll, prefix, std::strlen(prefix)) == 0; };
    if (is("mfc4"))
        return " (Microsoft's MFC 4 runtime: install it into the Wine prefix with winetricks mfc42)";
    if (is("msvbvm60"))
        return " (the Visual Basic 6 runtime: install it into the Wine prefix with winetricks vb6run)";
    if (is("msvcp1") || is("vcruntime1") || is("msvcr1") || is("concrt1") || is("mfc1"))
        return " (Microsoft's Visual C++ runtime: install it into the Wine prefix with winetricks vcrun2022)";
    return "";
}

// Wine binds a function it lacks to a stub that raises this when called.
constexpr DWORD kWineStub = 0x80000100;

// A library that crashes ends this process at once, without a crash dialog
// or debugger, after saying where: the frame is built on the stack, since
// the heap may be what broke. The output lock is not taken: the thread that
// holds it may be the one that crashed.
[[noreturn]] void endCrashed(const char *text, int length)
{
    std::uint8_t frame[bridge::kHeaderSize + 512];
    // snprintf says how long the text would have been; what it wrote ends at its NUL.
    const std::size_t shown = length > 0 ? std::min(static_cast<std::size_t>(length), std::strlen(text)) : 0;
    const std::size_t size = bridge::encodeFailedInto(frame, sizeof frame, text, shown);
    DWORD n = 0;
    ::WriteFile(g_out, frame, static_cast<DWORD>(size), &n, nullptr);
    ::TerminateProcess(::GetCurrentProcess(), kExitCrashed);
    ::ExitProcess(kExitCrashed);
}

// abort() (and so a C++ exception nobody caught) raises SIGABRT in the C
// runtime the DLL uses; said as such rather than as the process's end.
void __cdecl endOnAbort(int)
{
    char text[200];
    const int length = std::snprintf(text, sizeof text, "the device library called abort() in %s",
                                     t_entry ? t_entry : "a thread of its own");
    endCrashed(text, length);
}

// The C runtimes a DLL may use besides ours hear of it too.
void catchAbortsOfOtherRuntimes()
{
    using Handler = void(__cdecl *)(int);
    using SetSignal = Handler(__cdecl *)(int, Handler);
    for (const wchar_t *runtime : {L"ucrtbase.dll", L"msvcr120.dll", L"msvcr110.dll", L"msvcr100.dll"})
        if (const HMODULE loaded = ::GetModuleHandleW(runtime))
            if (const auto setSignal = reinterpret_cast<SetSignal>(reinterpret_cast<void *>(::GetProcAddress(loaded, "signal"))))
                setSignal(SIGABRT, endOnAbort);
}

LONG WINAPI endOnCrash(EXCEPTION_POINTERS *info)
{
    // The DLL's own filter first, as it expects; what it does not resume is a crash.
    if (const LPTOP_LEVEL_EXCEPTION_FILTER vendor = pnv::winehost::vendorExceptionFilter())
        if (vendor(info) == EXCEPTION_CONTINUE_EXECUTION)
            return EXCEPTION_CONTINUE_EXECUTION;
    char text[400];
    const EXCEPTION_RECORD *record = info ? info->ExceptionRecord : nullptr;
    if (record && record->ExceptionCode == kWineStub && record->NumberParameters >= 2) {
        const auto *dll = reinterpret_cast<const char *>(record->ExceptionInformation[0]);
        const auto *function = reinterpret_cast<const char *>(record->ExceptionInformation[1]);
        const int length = std::snprintf(text, sizeof text,
                                         "the device library called %s's function %s in %s, which this Wine does not "
                                         "have%s", dll, function, t_entry ? t_entry : "a thread of its own",
                                         adviceFor(dll));
        endCrashed(text, length);
    }
    const unsigned code = info && info->ExceptionRecord ? static_cast<unsigned>(info->ExceptionRecord->ExceptionCode) : 0;
    const unsigned long thread = ::GetCurrentThreadId();
    const int length = t_entry
        ? std::snprintf(text, sizeof text, "the device library crashed in %s (exception 0x%08X) on thread %lu, %s", t_entry,
                        code, thread, thread == g_loadingThread ? "the one that loaded it" : "not the one that loaded it")
        : std::snprintf(text, sizeof text,
                        "the device library crashed in a thread of its own, %lu, between calls (exception 0x%08X)", thread,
                        code);
    endCrashed(text, length);
}

// Keeps the channel to ourselves: private, non-inheritable handles for it,
// and for everyone else (the library, its C runtime, what it starts) an
// empty input and the log as output and error.
void takeChannel()
{
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, ::GetStdHandle(STD_INPUT_HANDLE), self, &g_in, 0, FALSE, DUPLICATE_SAME_ACCESS)
        || !::DuplicateHandle(self, ::GetStdHandle(STD_OUTPUT_HANDLE), self, &g_out, 0, FALSE, DUPLICATE_SAME_ACCESS))
        ::ExitProcess(kExitBadInput);
    const int empty = ::_open("NUL", _O_RDONLY | _O_BINARY);
    if (empty < 0 || ::_dup2(empty, 0) != 0 || ::_dup2(2, 1) != 0)
        fail("the host cannot set the library's standard input and output aside");
    ::_close(empty);
    ::SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(0)));
    ::SetStdHandle(STD_OUTPUT_HANDLE, ::GetStdHandle(STD_ERROR_HANDLE));
}

// What the loader could not find: the first DLL the library imports that
// does not load, or empty when all of them do.
std::string missingImport(const std::wstring &path)
{
    const HMODULE image = ::LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!image)
        return {};
    std::string missing;
    pnv::winehost::forEachImportDescriptor(image, [&missing](std::uint8_t *base, const IMAGE_IMPORT_DESCRIPTOR &entry) {
        const char *name = reinterpret_cast<const char *>(base + entry.Name);
        if (const HMODULE dependency = ::LoadLibraryA(name)) {
            ::FreeLibrary(dependency);
            return false;
        }
        missing = name;
        return true;
    });
    ::FreeLibrary(image);
    return missing;
}

// Whether the library can have messages for its thread now: only through
// windows (a hidden one, a socket's notices) or COM, all of which load
// user32.dll, whether the library imports it, a helper DLL beside it does,
// or it loads it itself later. Dispatching costs a wineserver round trip per
// call, more than the bridge's whole call, so a process without it is spared
// that. (The host itself never loads it.) The loader tells when it comes: a
// look per call (GetModuleHandle) searched the disk for it under Wine and
// cost ten times the bridge's call.
std::atomic<bool> g_user32{false};

struct DllLoaded {
    ULONG flags;
    const UNICODE_STRING *fullName;
    const UNICODE_STRING *baseName;
    void *base;
    ULONG size;
};

void CALLBACK noteDllLoaded(ULONG reason, const DllLoaded *loaded, void *)
{
    constexpr ULONG kLoaded = 1;
    if (reason != kLoaded || !loaded || !loaded->baseName || !loaded->baseName->Buffer)
        return;
    const std::wstring name(loaded->baseName->Buffer, loaded->baseName->Length / sizeof(wchar_t));
    if (::_wcsicmp(name.c_str(), L"user32.dll") == 0)
        g_user32 = true;
}

void watchForUser32()
{
    using Register = LONG(NTAPI *)(ULONG, void(CALLBACK *)(ULONG, const DllLoaded *, void *), void *, void **);
    void *cookie = nullptr;
    const auto registerNotification = reinterpret_cast<Register>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
    // Without the notice, every library is served as one with messages: slower, never wrong.
    if (!registerNotification || registerNotification(0, noteDllLoaded, nullptr, &cookie) != 0)
        g_user32 = true;
    if (::GetModuleHandleW(L"user32.dll"))
        g_user32 = true;
}

bool messagesPossible() { return g_user32; }

HMODULE loadLibrary(const std::wstring &path)
{
    // The library's own folder is searched for the DLLs it needs, as beside
    // the program it was shipped with.
    const HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module)
        return module;
    const DWORD error = ::GetLastError();
    if (error == ERROR_MOD_NOT_FOUND) {
        const std::string missing = missingImport(path);
        if (!missing.empty())
            fail("cannot be loaded: it needs " + missing + ", which is missing or cannot be loaded"
                 + adviceFor(missing.c_str()));
    }
    if (error == ERROR_BAD_EXE_FORMAT)
        fail("cannot be loaded: it is no longer a DLL for this machine type (changed on disk since it was bound?)");
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        fail("cannot be loaded: the file is gone (deleted or moved since it was bound)");
    if (error == ERROR_DLL_INIT_FAILED)
        fail("cannot be loaded: its start-up code (DllMain) reported a failure");
    fail("cannot be loaded (Windows error " + std::to_string(error) + ")");
    return nullptr;
}

#if defined(__i386__)
// Calls `fn` with three 32-bit words and puts the stack pointer back after
// it, whatever convention `fn` has: an entry point built __stdcall but
// exported under its plain name pops its own arguments, a cdecl caller pops
// them again, and the drift crashes the host a few calls later. Extra words
// are harmless under either convention. The stack pointer is kept in edi,
// which both conventions preserve.
std::int32_t callAnyConvention(const void *fn, const std::uintptr_t (&words)[3])
{
    std::int32_t result;
    asm volatile("movl %%esp, %%edi\n\t"
                 "pushl 8(%2)\n\t"
                 "pushl 4(%2)\n\t"
                 "pushl (%2)\n\t"
                 "call *%1\n\t"
                 "movl %%edi, %%esp"
                 : "=a"(result)
                 : "r"(fn), "r"(words)
                 : "edi", "ecx", "edx", "memory", "cc");
    return result;
}
#endif

// One entry point's call; 0 for those that return nothing.
template <typename Result, typename... Args, typename... Given>
std::int32_t callEntry(Result (*fn)(Args...), Given... args)
{
#if defined(__i386__)
    const std::uintptr_t words[3] = {(std::uintptr_t)args...};
    const std::int32_t result = callAnyConvention(reinterpret_cast<const void *>(fn), words);
    return std::is_void_v<Result> ? 0 : result;
#else
    if constexpr (std::is_void_v<Result>) {
        fn(args...);
        return 0;
    } else {
        return fn(args...);
    }
#endif
}

class Server final {
public:
    Server(const Api &api, HMODULE module) : m_api(api), m_module(module) {}

    // The loading thread: runs the calls; once the library can have
    // messages, dispatches them while no call runs and before each call.
    void serve(HANDLE notices)
    {
        std::thread([this, notices] { FrameReader(notices).each([this](bridge::CallRequest &call) {
            if (!isNotice(call.type))
                ::ExitProcess(kExitBadInput);
            deliver(call.type);
            return true;
        }); }).detach();
        // Read directly until the library has loaded user32.dll (at its
        // load, or in any call); from then on, through the hand-off.
        static FrameReader channel(g_in);
        if (!messagesPossible())
            channel.each([this](bridge::CallRequest &call) {
                run(call);
                return !messagesPossible();
            });
        pnv::winehost::watchVendorDialogs();
        if (!m_user32.take())
            ::ExitProcess(kExitBadInput);
        m_arrived = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!m_arrived)
            ::ExitProcess(kExitBadInput);
        std::thread([this] {
            channel.each([this](bridge::CallRequest &call) {
                std::lock_guard<std::mutex> lock(m_queueLock);
                m_queue.push_back(std::move(call));
                ::SetEvent(m_arrived);
                return true;
            });
        }).detach();
        for (;;) {
            // Woken by a frame or by what comes to the queue: a posted
            // message, a timer due, a socket's notice. Asleep otherwise.
            // (Served just before the wait, the queue is found empty by it:
            // under Wine 8 this order measured 80 us a call where waiting
            // first, and serving only when woken by a message, took 95 to 150.)
            serveMessages();
            const DWORD woke = m_user32.waitForMessages(1, &m_arrived, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            if (woke == WAIT_FAILED)
                ::ExitProcess(kExitBadInput);
            for (;;) {
                bridge::CallRequest call;
                {
                    std::lock_guard<std::mutex> lock(m_queueLock);
                    if (m_queue.empty())
                        break;
                    call = std::move(m_queue.front());
                    m_queue.pop_front();
                }
                // What the last call posted, and what came meanwhile, is
                // served before the next call: woken by the frame, or given
                // it right after the last, the queue may hold messages.
                if (!isNotice(call.type))
                    serveMessages();
                run(call);
                // What the call loaded (a helper beside it) shows its boxes too.
                pnv::winehost::patchVendorImports(m_module);
            }
        }
    }

private:
    // The frames of one channel, in order. Its end (the client gone or
    // done) ends the process. Read by one thread at a time: the loading
    // thread hands the call channel's reader over once, with what it holds.
    class FrameReader final {
    public:
        explicit FrameReader(HANDLE from) : m_from(from) {}
        // Calls `take` with each request until it returns false.
        template <typename Take>
        void each(Take take)
        {
            for (;;) {
                while (m_used < m_size) {
                    bridge::CallRequest call;
                    if (next(m_decoder, m_chunk, m_size, m_used, call) && !take(call))
                        return;
                }
                DWORD n = 0;
                if (!::ReadFile(m_from, m_chunk, sizeof m_chunk, &n, nullptr) || n == 0)
                    ::ExitProcess(0);
                m_size = n;
                m_used = 0;
            }
        }

    private:
        HANDLE m_from;
        bridge::Decoder m_decoder;
        std::uint8_t m_chunk[8192];
        std::size_t m_size = 0;
        std::size_t m_used = 0;
    };

    void run(bridge::CallRequest &call)
    {
        if (isNotice(call.type))
            deliver(call.type);
        else
            send(perform(call));
    }

    static bool isNotice(bridge::Type type) { return type == bridge::Type::Disconnect || type == bridge::Type::Close; }

    // Decodes from chunk[used..n); true with a request when one is complete.
    static bool next(bridge::Decoder &decoder, const std::uint8_t *chunk, std::size_t n, std::size_t &used,
                     bridge::CallRequest &call)
    {
        used += decoder.feed(chunk + used, n - used);
        if (decoder.state() == bridge::Decoder::State::Malformed)
            ::ExitProcess(kExitBadInput);
        if (decoder.state() != bridge::Decoder::State::FrameReady)
            return false;
        if (!bridge::decodeCall(decoder.take(), call))
            ::ExitProcess(kExitBadInput);
        return true;
    }

    void serveMessages()
    {
        MSG message;
        while (m_user32.peek(&message, nullptr, 0, 0, PM_REMOVE)) {
            m_user32.translate(&message);
            m_user32.dispatch(&message);
        }
    }

    void deliver(bridge::Type type)
    {
        t_entry = type == bridge::Type::Disconnect ? "S_Disconnect" : "DLLClose";
        callEntry(type == bridge::Type::Disconnect ? m_api.S_Disconnect : m_api.DLLClose);
        t_entry = nullptr;
    }

    // The notice channel (the thread serve() starts): the bridge sends
    // S_Disconnect and DLLClose there only while a call runs, and that
    // thread, asleep otherwise, delivers them at once. Its end ends the
    // process, which also ends a call that never returns.

    bridge::Frame perform(bridge::CallRequest &call)
    {
        // The budget rides on every call, so a lowered one reaches our own
        // library as it would in-process; another library ignores it.
        if (call.budgetMs != m_budget) {
            m_budget = call.budgetMs;
            const std::string value = std::to_string(call.budgetMs);
            ::_putenv_s("TESSALIN_TIMEOUT_MS", value.c_str());
        }
        if (call.type == bridge::Type::Connect) {
            char address[16];
            std::copy_n(call.bytes.begin(), sizeof address, address);
            t_entry = "S_Connect";
            const std::int32_t result = callEntry(m_api.S_Connect, address, call.mode, call.port);
            t_entry = nullptr;
            return bridge::encodeResult(result, nullptr, 0);
        }
        // Whatever the library scribbles stays within what we hand it.
        const std::size_t forwarded = call.bytes.size();
        const std::int32_t capacity = call.capacity > 0 ? static_cast<std::int32_t>(forwarded) : call.capacity;
        call.bytes.resize(std::max<std::size_t>(forwarded, 1));
        std::uint8_t *buffer = call.nullBuffer ? nullptr : call.bytes.data();
        const bool read = call.type == bridge::Type::Read;
        t_entry = read ? "ConfigRead" : "ConfigWrite";
        const std::int32_t result = callEntry(read ? m_api.ConfigRead : m_api.ConfigWrite, buffer, capacity);
        t_entry = nullptr;
        return bridge::encodeResult(result, call.bytes.data(), forwarded);
    }

    Api m_api;
    HMODULE m_module;
    // What the message loop needs of user32.dll, taken from it once the
    // library brought it in: the host never loads it itself (it would make
    // every library's calls pay for the queue).
    struct User32 {
        BOOL(WINAPI *peek)(MSG *, HWND, UINT, UINT, UINT) = nullptr;
        BOOL(WINAPI *translate)(const MSG *) = nullptr;
        LRESULT(WINAPI *dispatch)(const MSG *) = nullptr;
        DWORD(WINAPI *waitForMessages)(DWORD, const HANDLE *, DWORD, DWORD, DWORD) = nullptr;
        template <typename Fn>
        static bool find(HMODULE from, const char *name, Fn &slot)
        {
            slot = reinterpret_cast<Fn>(reinterpret_cast<void *>(::GetProcAddress(from, name)));
            return slot != nullptr;
        }
        bool take()
        {
            const HMODULE from = ::GetModuleHandleW(L"user32.dll");
            return from && find(from, "PeekMessageW", peek) && find(from, "TranslateMessage", translate)
                   && find(from, "DispatchMessageW", dispatch)
                   && find(from, "MsgWaitForMultipleObjectsEx", waitForMessages);
        }
    } m_user32;
    std::int32_t m_budget = -1;
    // For a library with messages: the frames the reader hands over.
    HANDLE m_arrived = nullptr;
    std::mutex m_queueLock;
    std::deque<bridge::CallRequest> m_queue;
};

// The arguments of a command line by Windows' rules (2N backslashes before
// a quote are N and the quote delimits; 2N+1 are N and a literal quote),
// without shell32.dll, which would bring user32.dll into every host.
std::vector<std::wstring> splitCommandLine(const wchar_t *line)
{
    std::vector<std::wstring> arguments;
    while (*line) {
        while (*line == L' ' || *line == L'\t')
            ++line;
        if (!*line)
            break;
        std::wstring argument;
        bool quoted = false;
        while (*line && (quoted || (*line != L' ' && *line != L'\t'))) {
            std::size_t slashes = 0;
            while (*line == L'\\') {
                ++slashes;
                ++line;
            }
            if (*line == L'"') {
                argument.append(slashes / 2, L'\\');
                if (slashes % 2) {
                    argument += L'"';
                } else if (quoted && line[1] == L'"') {
                    argument += L'"';   // "" inside quotes: a quote
                    ++line;
                } else {
                    quoted = !quoted;
                }
                ++line;
            } else {
                argument.append(slashes, L'\\');
                if (*line && (quoted || (*line != L' ' && *line != L'\t')))
                    argument += *line++;
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

template <typename Fn>
void resolve(HMODULE module, const char *name, Fn &slot)
{
    slot = reinterpret_cast<Fn>(reinterpret_cast<void *>(::GetProcAddress(module, name)));
    if (!slot)
        fail(std::string("entry point '") + name + "' not found");
}

} // namespace

int main()
{
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(endOnCrash);
    std::signal(SIGABRT, endOnAbort);
    takeChannel();

    const std::vector<std::wstring> argv = splitCommandLine(::GetCommandLineW());
    if (argv.size() != 3)
        fail("usage: tessalin-host DLL-PATH NOTICE-FIFO-PATH");
    const std::wstring path = argv[1];
    // Opened before the library loads, so that nothing it starts inherits it.
    const HANDLE notices = ::CreateFileW(argv[2].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
    if (notices == INVALID_HANDLE_VALUE)
        fail("the host cannot open its notice channel (Windows error " + std::to_string(::GetLastError()) + ")");

    g_loadingThread = ::GetCurrentThreadId();
    watchForUser32();
    t_entry = "its start-up code (DllMain)";
    const HMODULE module = loadLibrary(path);
    t_entry = nullptr;
    Api api;
#define RESOLVE(name, result, parameters) resolve(module, #name, api.name);
    TESSALIN_ENTRY_POINTS(RESOLVE)
#undef RESOLVE

    send(bridge::encodeReady(static_cast<int>(sizeof(void *) * 8)));
    // Ours stays the top filter; one the DLL set in DllMain runs first.
    if (const LPTOP_LEVEL_EXCEPTION_FILTER set = ::SetUnhandledExceptionFilter(endOnCrash); set != endOnCrash)
        pnv::winehost::keepVendorExceptionFilter(set);
    pnv::winehost::patchVendorImports(module);
    catchAbortsOfOtherRuntimes();
    // The bridge waits for the user while a box or dialog of the DLL's is
    // up during a call, and says what it says.
    pnv::winehost::onVendorWindow([](bool shown, const std::string &text) {
        if (t_entry)
            send(bridge::encodeWindow(shown, text));
    });
    static Server server(api, module);
    server.serve(notices);
    ::ExitProcess(0);
}
