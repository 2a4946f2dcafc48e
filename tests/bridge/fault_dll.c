/* A device library that misbehaves in one chosen way, for the bridge's
 * failure tests. Built as a Windows DLL once per switch:
 *   FAULT_CRASH_READ   ConfigRead writes through a null pointer
 *   FAULT_HANG_READ    ConfigRead never returns
 *   FAULT_NO_WRITE     ConfigWrite is not exported
 *   FAULT_INIT_FAILS   DllMain reports a failure when the DLL is loaded
 *   FAULT_HANG_CLOSE   S_Connect starts a child process (rundll32 with this
 *                      DLL's WaitForEver); the DLL's detach never returns
 *   FAULT_VENDOR       behaves as vendors' DLLs do: prints to its standard
 *                      output and error and reads its standard input in
 *                      every call, keeps thread-affine state (the loading
 *                      thread, a hidden window that must see the message it
 *                      posted itself dispatched between calls), and takes
 *                      its time over the first call. A call on any other
 *                      thread, or before its message was dispatched, fails
 *                      with a code of its own (0x70 + what went wrong).
 *                      ConfigWrite also sets a timer on its window, whose
 *                      message, dispatched while no call runs (the DLL never
 *                      dispatches its queue itself), prints "vendor idle:
 *                      timer served"
 *   FAULT_NEEDS_ABSENT imports from pnvabsent.dll, which is never installed
 *   FAULT_ABSENT       that DLL itself, built only so the import can link
 *   FAULT_STDCALL      every entry point __stdcall (on x86 it pops its own
 *                      arguments); built with its names undecorated
 *                      (stdcall) and decorated (stdcall-decorated)
 *   FAULT_ANSWERING_WINDOWED  nothing misbehaves; imports user32.dll (its
 *                      S_Connect asks for its thread's queue status), so the
 *                      host serves its message queue
 *   FAULT_EXIT_READ    ConfigRead ends the process with exit(7)
 *   FAULT_ABORT_READ   ConfigRead calls abort()
 *   FAULT_SLOW         S_Connect and ConfigWrite take 4 s each, as a real
 *                      connect to a far host or a write that stores does,
 *                      and then succeed
 *   FAULT_OWN_FOLDER   S_Connect opens .\Tessalin.ini, beside the DLL as the
 *                      program it was written for is started from its folder,
 *                      and fails with 0x74 without it
 *   FAULT_LOADS_USER32 imports nothing of user32.dll, but loads it in its first
 *                      S_Connect (as through a helper DLL or LoadLibrary)
 *                      for a hidden window that posts itself a message in
 *                      every call; a call before the last one's message was
 *                      dispatched fails with 0x72
 *   FAULT_MESSAGE_BOX  S_Connect says "Cannot connect to the encoder" in a
 *                      message box titled "Tessalin" and returns 1
 *   FAULT_ORDINALS     the five exported by ordinal only (ordinals.def)
 *   FAULT_CRASH_UNFILTERED  ConfigRead removes the process's unhandled-
 *                      exception filter (SetUnhandledExceptionFilter(NULL)),
 *                      then writes through a null pointer
 *   FAULT_WINE_STUB    S_Connect calls a function this Wine lacks: it raises
 *                      what Wine's stub for msvcp140.dll's
 *                      ?_Xlength_error@std@@YAXPEBD@Z would
 *   FAULT_THREAD_CRASH S_Connect starts a thread of the DLL's own that writes
 *                      through a null pointer a moment later, between calls
 * Everything else answers at once like a linked encoder; without a switch
 * (FAULT_ANSWERING) nothing misbehaves. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#if defined(FAULT_STDCALL)
#define EXPORT __declspec(dllexport) __stdcall
#elif defined(FAULT_ORDINALS)
#define EXPORT   /* exported by tests/bridge/ordinals.def, by number only */
#else
#define EXPORT __declspec(dllexport)
#endif

#if defined(FAULT_ABSENT)
__declspec(dllexport) int absent_function(void) { return 0; }
#else

#if defined(FAULT_NEEDS_ABSENT)
__declspec(dllimport) int absent_function(void);
#endif

#if defined(FAULT_HANG_CLOSE)
/* The child: rundll32 runs it, and it never ends by itself. */
__declspec(dllexport) void CALLBACK WaitForEver(HWND window, HINSTANCE instance, LPSTR line, int show)
{
    (void)window; (void)instance; (void)line; (void)show;
    for (;;)
        Sleep(1000);
}

static HINSTANCE g_self;
static int g_childStarted;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        g_self = instance;
    if (reason == DLL_PROCESS_DETACH && g_childStarted)   /* rundll32's own copy ends normally */
        for (;;)
            Sleep(1000);
    return TRUE;
}

static void startChild(void)
{
    wchar_t self[MAX_PATH], command[MAX_PATH + 40];
    STARTUPINFOW start;
    PROCESS_INFORMATION started;
    GetModuleFileNameW(g_self, self, MAX_PATH);
    wsprintfW(command, L"rundll32.exe \"%s\",WaitForEver", self);
    memset(&start, 0, sizeof start);
    start.cb = sizeof start;
    g_childStarted = CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &start, &started);
}
#endif

#if defined(FAULT_INIT_FAILS)
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance; (void)reserved;
    return reason != DLL_PROCESS_ATTACH;
}
#endif

#if defined(FAULT_VENDOR)
static DWORD g_loader;
static HWND g_window;
static volatile LONG g_posted, g_dispatched;
static int g_calls;

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == WM_APP)
        InterlockedIncrement(&g_dispatched);
    if (message == WM_TIMER) {
        KillTimer(window, w);
        printf("vendor idle: timer served\n");
        fflush(stdout);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        g_loader = GetCurrentThreadId();
        WNDCLASSW cls;
        memset(&cls, 0, sizeof cls);
        cls.lpfnWndProc = windowProc;
        cls.hInstance = instance;
        cls.lpszClassName = L"PnvVendorHidden";
        RegisterClassW(&cls);
        g_window = CreateWindowExW(0, L"PnvVendorHidden", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, instance, NULL);
    }
    return TRUE;
}

/* 0 when this call may go on; otherwise the code it fails with. */
static int32_t vendorChecks(const char *entry)
{
    char line[64];
    printf("vendor debug: %s\n", entry);
    fflush(stdout);
    fprintf(stderr, "vendor trace: %s\n", entry);
    fprintf(stderr, "vendor colour: \x1b[31mred\x1b[0m \xe2\x80\xae\n");   /* shown escaped, never as it is */
    fread(line, 1, sizeof line, stdin);   /* an empty source: returns at once */
    if (GetCurrentThreadId() != g_loader || !g_window)
        return 0x71;
    if (g_dispatched != g_posted)
        return 0x72;
    InterlockedIncrement(&g_posted);
    PostMessageW(g_window, WM_APP, 0, 0);
    if (g_calls++ == 0)
        Sleep(100);
    return 0;
}
#define CHECK(entry) do { int32_t failed = vendorChecks(entry); if (failed) return failed; } while (0)
#elif defined(FAULT_LOADS_USER32)
typedef ATOM(WINAPI *RegisterClassWFn)(const WNDCLASSW *);
typedef HWND(WINAPI *CreateWindowExWFn)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID);
typedef BOOL(WINAPI *PostMessageWFn)(HWND, UINT, WPARAM, LPARAM);
typedef LRESULT(WINAPI *DefWindowProcWFn)(HWND, UINT, WPARAM, LPARAM);
static HWND g_window;
static PostMessageWFn g_post;
static DefWindowProcWFn g_default;
static volatile LONG g_posted, g_dispatched;

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == WM_APP)
        InterlockedIncrement(&g_dispatched);
    return g_default(window, message, w, l);
}

static int32_t loadedWindowChecks(void)
{
    if (!g_window) {
        HMODULE user32 = LoadLibraryA("user32.dll");
        RegisterClassWFn registerClass = (RegisterClassWFn)(void *)GetProcAddress(user32, "RegisterClassW");
        CreateWindowExWFn createWindow = (CreateWindowExWFn)(void *)GetProcAddress(user32, "CreateWindowExW");
        WNDCLASSW cls;
        g_post = (PostMessageWFn)(void *)GetProcAddress(user32, "PostMessageW");
        g_default = (DefWindowProcWFn)(void *)GetProcAddress(user32, "DefWindowProcW");
        memset(&cls, 0, sizeof cls);
        cls.lpfnWndProc = windowProc;
        cls.hInstance = GetModuleHandleW(NULL);
        cls.lpszClassName = L"PnvLoadedHidden";
        registerClass(&cls);
        g_window = createWindow(0, L"PnvLoadedHidden", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance, NULL);
        if (!g_window)
            return 0x71;
    }
    if (g_dispatched != g_posted)
        return 0x72;
    InterlockedIncrement(&g_posted);
    g_post(g_window, WM_APP, 0, 0);
    return 0;
}
#define CHECK(entry) do { int32_t failed = loadedWindowChecks(); (void)(entry); if (failed) return failed; } while (0)
#else
#define CHECK(entry) do { } while (0)
#endif

#if defined(FAULT_THREAD_CRASH)
static DWORD WINAPI crashLater(LPVOID unused)
{
    volatile int *nowhere = NULL;
    (void)unused;
    Sleep(200);
    return (DWORD)*nowhere;
}
#endif

EXPORT int32_t S_Connect(const char *address, int32_t mode, int32_t port)
{
    (void)address; (void)mode; (void)port;
    CHECK("S_Connect");
#if defined(FAULT_HANG_CLOSE)
    if (!g_childStarted)
        startChild();
#endif
#if defined(FAULT_NEEDS_ABSENT)
    return absent_function();
#endif
#if defined(FAULT_ANSWERING_WINDOWED)
    (void)GetQueueStatus(QS_ALLINPUT);
#endif
#if defined(FAULT_SLOW)
    Sleep(4000);
#endif
#if defined(FAULT_WINE_STUB)
    {
        /* As Wine's stub for a function it has not written raises it. */
        ULONG_PTR names[2] = {(ULONG_PTR)"msvcp140.dll", (ULONG_PTR)"?_Xlength_error@std@@YAXPEBD@Z"};
        RaiseException(0x80000100, EXCEPTION_NONCONTINUABLE, 2, names);
    }
#endif
#if defined(FAULT_THREAD_CRASH)
    CreateThread(NULL, 0, crashLater, NULL, 0, NULL);
#endif
#if defined(FAULT_MESSAGE_BOX)
    MessageBoxA(NULL, "Cannot connect to the encoder", "Tessalin", MB_OK | MB_ICONERROR);
    return 1;
#endif
#if defined(FAULT_OWN_FOLDER)
    {
        char path[MAX_PATH];
        HMODULE self = NULL;
        char *slash;
        FILE *settings = fopen(".\\Tessalin.ini", "r");
        if (!settings)
            return 0x74;
        fclose(settings);
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)(void *)&S_Connect, &self);
        GetModuleFileNameA(self, path, MAX_PATH - 16);
        slash = strrchr(path, '\\');
        if (slash)
            strcpy(slash + 1, "Tessalin.ini");
        settings = fopen(path, "r");
        if (!settings)
            return 0x75;
        fclose(settings);
    }
#endif
    return 0;
}

EXPORT void S_Disconnect(void) {}

#if defined(FAULT_EXIT_READ) || defined(FAULT_ABORT_READ)
#include <stdlib.h>
#endif

EXPORT int32_t ConfigRead(uint8_t *buffer, int32_t capacity)
{
    (void)capacity;
#if defined(FAULT_CRASH_READ) || defined(FAULT_CRASH_UNFILTERED)
    volatile uint8_t *nowhere = NULL;
#if defined(FAULT_CRASH_UNFILTERED)
    SetUnhandledExceptionFilter(NULL);
#endif
    *nowhere = buffer[0];
#elif defined(FAULT_HANG_READ)
    for (;;)
        Sleep(1000);
#elif defined(FAULT_EXIT_READ)
    exit(7);
#elif defined(FAULT_ABORT_READ)
    abort();
#endif
#if defined(FAULT_VENDOR) || defined(FAULT_LOADS_USER32)
    {
        int32_t failed;
#if defined(FAULT_VENDOR)
        failed = vendorChecks("ConfigRead");
#else
        failed = loadedWindowChecks();
#endif
        if (failed) {
            buffer[0] = (uint8_t)failed;
            return 1;
        }
    }
#endif
    memset(buffer, 0x42, 26);
    return 26;
}

#if !defined(FAULT_NO_WRITE)
EXPORT int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    (void)capacity;
    CHECK("ConfigWrite");
#if defined(FAULT_VENDOR)
    SetTimer(g_window, 1, 50, NULL);
#endif
#if defined(FAULT_SLOW)
    Sleep(4000);
#endif
    buffer[0] = 0;
    return 1;
}
#endif

EXPORT void DLLClose(void) {}
#endif
