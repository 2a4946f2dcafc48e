#include "VendorWindows.h"

#include "ImportTable.h"

#include <psapi.h>

#include <cstring>
#include <set>
#include <vector>

namespace pnv::winehost {
namespace {

std::function<void(bool, const std::string &)> g_notice;
LPTOP_LEVEL_EXCEPTION_FILTER g_vendorFilter = nullptr;
std::set<HWND> g_shown;    // the loading thread's alone
HHOOK g_hook = nullptr;
std::set<HMODULE> g_patched;
thread_local int t_inBox = 0;   // a box of ours is up on this thread: the dialog watch leaves it alone

std::string utf8(const wchar_t *text)
{
    if (!text)
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::wstring wide(const char *text)
{
    if (!text)
        return {};
    const int size = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(size > 0 ? static_cast<std::size_t>(size) : 1, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), size);
    out.resize(std::wcslen(out.c_str()));
    return out;
}

void tell(bool shown, const std::string &text)
{
    if (g_notice)
        g_notice(shown, text);
}

std::string describeBox(const wchar_t *caption, const wchar_t *text)
{
    return "\"" + utf8(caption && *caption ? caption : L"Error") + "\": " + utf8(text);
}

template <typename Fn>
Fn user32Function(const char *name)
{
    const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 ? reinterpret_cast<Fn>(reinterpret_cast<void *>(::GetProcAddress(user32, name))) : nullptr;
}

// The box is the user's to answer: said before it shows (with no display it
// returns at once, and that is all anyone learns of it), and its end after.
int WINAPI messageBoxExW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, WORD language)
{
    tell(true, describeBox(caption, text));
    using Real = int(WINAPI *)(HWND, LPCWSTR, LPCWSTR, UINT, WORD);
    const auto real = user32Function<Real>("MessageBoxExW");
    ++t_inBox;
    const int answer = real ? real(owner, text, caption, type, language) : 0;
    --t_inBox;
    tell(false, {});
    return answer;
}
int WINAPI messageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    return messageBoxExW(owner, text, caption, type, 0);
}
int WINAPI messageBoxExA(HWND owner, LPCSTR text, LPCSTR caption, UINT type, WORD language)
{
    const std::wstring wideText = wide(text), wideCaption = wide(caption);
    return messageBoxExW(owner, wideText.c_str(), caption ? wideCaption.c_str() : nullptr, type, language);
}
int WINAPI messageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    return messageBoxExA(owner, text, caption, type, 0);
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI setUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter)
{
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = g_vendorFilter;
    g_vendorFilter = filter;
    return previous;
}

struct Replacement {
    const char *name;
    void *function;
};
const Replacement kReplacements[] = {
    {"MessageBoxA", reinterpret_cast<void *>(&messageBoxA)},
    {"MessageBoxW", reinterpret_cast<void *>(&messageBoxW)},
    {"MessageBoxExA", reinterpret_cast<void *>(&messageBoxExA)},
    {"MessageBoxExW", reinterpret_cast<void *>(&messageBoxExW)},
    {"SetUnhandledExceptionFilter", reinterpret_cast<void *>(&setUnhandledExceptionFilter)},
};

void patchModule(HMODULE module)
{
    if (!g_patched.insert(module).second)
        return;
    forEachImportDescriptor(module, [](std::uint8_t *base, const IMAGE_IMPORT_DESCRIPTOR &entry) {
        if (!entry.OriginalFirstThunk)
            return false;   // bound in place: the names are gone
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + entry.FirstThunk);
        const auto *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + entry.OriginalFirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            for (const Replacement &replacement : kReplacements) {
                if (std::strcmp(reinterpret_cast<const char *>(byName->Name), replacement.name) != 0)
                    continue;
                DWORD old = 0;
                if (::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) {
                    slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement.function);
                    ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
                }
            }
        }
        return false;
    });
}

std::wstring folderOf(HMODULE module)
{
    wchar_t path[MAX_PATH * 2];
    const DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH * 2);
    std::wstring text(path, n);
    const auto slash = text.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : text.substr(0, slash);
}

// A window the loading thread activates while a call runs: a dialog of the
// DLL's own (a message box through its own wrapper is said already).
LRESULT CALLBACK watchDialogs(int code, WPARAM w, LPARAM l)
{
    const auto next = user32Function<LRESULT(WINAPI *)(HHOOK, int, WPARAM, LPARAM)>("CallNextHookEx");
    const HWND window = reinterpret_cast<HWND>(w);
    if (t_inBox > 0) {
        // said by the box's own wrapper
    } else if (code == HCBT_ACTIVATE && !g_shown.count(window)) {
        const auto getText = user32Function<int(WINAPI *)(HWND, LPWSTR, int)>("GetWindowTextW");
        const auto getItemText = user32Function<UINT(WINAPI *)(HWND, int, LPWSTR, int)>("GetDlgItemTextW");
        wchar_t title[256] = {}, text[1024] = {};
        if (getText)
            getText(window, title, 256);
        if (getItemText)
            getItemText(window, 0xFFFF, text, 1024);   // a message box's text
        g_shown.insert(window);
        tell(true, describeBox(title, text));
    } else if (code == HCBT_DESTROYWND && g_shown.erase(window) && g_shown.empty()) {
        tell(false, {});
    }
    return next ? next(g_hook, code, w, l) : 0;
}

} // namespace

void onVendorWindow(std::function<void(bool, const std::string &)> notice) { g_notice = std::move(notice); }

LPTOP_LEVEL_EXCEPTION_FILTER vendorExceptionFilter() { return g_vendorFilter; }

void keepVendorExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) { g_vendorFilter = filter; }

void patchVendorImports(HMODULE dll)
{
    patchModule(dll);
    const std::wstring folder = folderOf(dll);
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!::K32EnumProcessModules(::GetCurrentProcess(), modules, sizeof modules, &needed))
        return;
    for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 1024; ++i)
        if (!g_patched.count(modules[i]) && ::_wcsicmp(folderOf(modules[i]).c_str(), folder.c_str()) == 0)
            patchModule(modules[i]);
}

void watchVendorDialogs()
{
    if (g_hook)
        return;
    using SetHook = HHOOK(WINAPI *)(int, HOOKPROC, HINSTANCE, DWORD);
    if (const auto setHook = user32Function<SetHook>("SetWindowsHookExW"))
        g_hook = setHook(WH_CBT, watchDialogs, nullptr, ::GetCurrentThreadId());
}

} // namespace pnv::winehost
