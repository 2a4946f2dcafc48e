#include "TessalinBinding.h"

#include "PeFile.h"
#include "tessalin_bridge.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <limits.h>

// Where an installation keeps the device library: relative to the program's
// folder (so a moved tree or an unpacked package still works), and the
// absolute folder the build was configured to install into.
#if !defined(PNV_PRIVATE_LIBDIR_FROM_BINDIR) || !defined(PNV_PRIVATE_LIBDIR)
#error "PNV_PRIVATE_LIBDIR_FROM_BINDIR and PNV_PRIVATE_LIBDIR must name the installed library folder"
#endif

namespace pnv {
namespace {

std::string executableDir()
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool fileExists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

template <typename Fn>
bool resolve(void *handle, const char *name, Fn &slot, std::string &error, const std::string &path)
{
    ::dlerror();
    void *symbol = ::dlsym(handle, name);
    if (!symbol) {
        error = path + ": entry point '" + name + "' not found";
        return false;
    }
    slot = reinterpret_cast<Fn>(symbol);
    return true;
}

// The folders an installation or a build keeps our libraries in, in the order searched.
std::vector<std::string> privateFolders()
{
    std::vector<std::string> folders;
    const std::string dir = executableDir();
    if (!dir.empty()) {
        folders.push_back(dir);
        folders.push_back(dir + "/" PNV_PRIVATE_LIBDIR_FROM_BINDIR);
    }
    folders.push_back(PNV_PRIVATE_LIBDIR);
    return folders;
}

} // namespace

std::vector<TessalinLibrary::Candidate> TessalinLibrary::candidates()
{
    std::vector<Candidate> found;
    if (const char *env = std::getenv("TESSALIN_LIBRARY"); env && *env)
        found.push_back({env, true});
    for (const std::string &folder : privateFolders())
        found.push_back({folder + "/" + kTessalinFileName, false});
    return found;
}

std::string TessalinLibrary::bridgePath()
{
    for (const std::string &folder : privateFolders())
        if (fileExists(folder + "/" + kBridgeFileName))
            return folder + "/" + kBridgeFileName;
    return {};
}

TessalinLibrary::LoadResult TessalinLibrary::load(HostStart start)
{
    for (const Candidate &c : candidates())
        if (c.explicitChoice || fileExists(c.path))
            return loadFrom(c.path, start);
    return loadFrom(kTessalinFileName, start);  // the system's search path
}

TessalinLibrary::LoadResult TessalinLibrary::loadFrom(const std::string &pathOrName, HostStart start)
{
    // The header decides, not the name: a Linux library called .DLL binds natively.
    if (pathOrName.find('/') != std::string::npos && fileExists(pathOrName)) {
        const auto file = inspectLibrary(pathOrName);
        if (file.kind == LibraryFile::Kind::Pe)
            return loadThroughBridge(pathOrName, start);
        if (file.kind == LibraryFile::Kind::Neither)
            return {nullptr, file.problem};
    }
    return loadNative(pathOrName);
}

TessalinLibrary::LoadResult TessalinLibrary::loadThroughBridge(const std::string &dll, HostStart start)
{
    const std::string bridge = bridgePath();
    if (bridge.empty())
        return {nullptr, dll + ": a Windows DLL, and the Wine bridge (" + kBridgeFileName + ") is not installed"};
    ::dlerror();
    void *handle = ::dlopen(bridge.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = ::dlerror();
        return {nullptr, bridge + ": " + (why ? why : "cannot be loaded")};
    }
    // A slot of its own: another binding in this program keeps its DLL and host.
    const auto open = reinterpret_cast<decltype(&TessalinBridge_Open)>(::dlsym(handle, "TessalinBridge_Open"));
    if (!open) {
        ::dlclose(handle);
        return {nullptr, bridge + ": entry point 'TessalinBridge_Open' not found"};
    }
    TessalinBridgeTable table{};
    char error[1024] = {};
    const int flags = start == HostStart::AtFirstConnect ? TESSALIN_BRIDGE_START_ON_CONNECT : 0;
    const int slot = open(dll.c_str(), flags, error, sizeof error, &table);
    if (slot < 0) {
        ::dlclose(handle);
        return {nullptr, error};
    }
    TessalinApi api;
#define PNV_FROM_TABLE(name, result, parameters) api.name = table.name;
    TESSALIN_ENTRY_POINTS(PNV_FROM_TABLE)
#undef PNV_FROM_TABLE
    std::unique_ptr<TessalinLibrary> library(new TessalinLibrary(handle, dll, api));
    library->m_bridgeSlot = slot;
    return {std::move(library), {}};
}

TessalinLibrary::LoadResult TessalinLibrary::loadNative(const std::string &pathOrName)
{
    ::dlerror();
    void *handle = ::dlopen(pathOrName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = ::dlerror();
        std::string error = why ? why : "cannot be loaded";
        if (error.find(pathOrName) == std::string::npos)
            error = pathOrName + ": " + error;
        return {nullptr, error};
    }
    TessalinApi api;
    std::string error;
#define PNV_RESOLVE(name, result, parameters) &&resolve(handle, #name, api.name, error, pathOrName)
    const bool complete = true TESSALIN_ENTRY_POINTS(PNV_RESOLVE);
#undef PNV_RESOLVE
    if (!complete) {
        ::dlclose(handle);
        return {nullptr, error};
    }
    return {std::unique_ptr<TessalinLibrary>(new TessalinLibrary(handle, pathOrName, api)), {}};
}

TessalinLibrary::TessalinLibrary(void *handle, std::string path, TessalinApi api)
    : m_handle(handle), m_path(std::move(path)), m_api(api)
{
}

TessalinLibrary::~TessalinLibrary()
{
    if (m_bridgeSlot >= 0)
        if (const auto release =
                reinterpret_cast<decltype(&TessalinBridge_Release)>(::dlsym(m_handle, "TessalinBridge_Release")))
            release(m_bridgeSlot);   // ends its host
    if (m_handle)
        ::dlclose(m_handle);
}

bool TessalinLibrary::preparingWinePrefix() const
{
    if (m_bridgeSlot < 0)
        return false;
    const auto preparing = reinterpret_cast<decltype(&TessalinBridge_SlotPreparingPrefix)>(
        ::dlsym(m_handle, "TessalinBridge_SlotPreparingPrefix"));
    return preparing && preparing(m_bridgeSlot) != 0;
}

void TessalinLibrary::setBridgeLog(void (*sink)(void *context, const char *line), void *context) const
{
    if (const auto setLog = reinterpret_cast<decltype(&TessalinBridge_SetLog)>(::dlsym(m_handle, "TessalinBridge_SetLog")))
        setLog(sink, context);
}

TessalinLibrary::Failure TessalinLibrary::lastFailure()
{
    // Only a bridge this program has loaded already can have anything to say.
    const std::string bridge = bridgePath();
    void *handle = bridge.empty() ? nullptr : ::dlopen(bridge.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!handle)
        return {};
    Failure failure;
    if (const auto last = reinterpret_cast<decltype(&TessalinBridge_LastFailure)>(::dlsym(handle, "TessalinBridge_LastFailure"))) {
        char text[2048] = {};
        const int kind = last(text, sizeof text);
        failure.kind = kind == TESSALIN_BRIDGE_FAILURE_HUNG      ? Failure::Kind::Hung
                       : kind == TESSALIN_BRIDGE_FAILURE_DLL     ? Failure::Kind::Library
                       : kind == TESSALIN_BRIDGE_FAILURE_HOST    ? Failure::Kind::Host
                       : kind == TESSALIN_BRIDGE_FAILURE_WINDOW  ? Failure::Kind::Window
                                                                 : Failure::Kind::None;
        if (failure.kind != Failure::Kind::None)
            failure.text = text;
    }
    ::dlclose(handle);
    return failure;
}

LibraryReference::~LibraryReference() { release(); }

void LibraryReference::acquire(const std::string &pathOrName)
{
    release();
    std::string name = pathOrName;
    if (pathOrName.find('/') != std::string::npos
        && inspectLibrary(pathOrName).kind == LibraryFile::Kind::Pe)
        name = TessalinLibrary::bridgePath();
    if (!name.empty())
        m_handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void LibraryReference::release()
{
    if (m_handle) {
        ::dlclose(m_handle);
        m_handle = nullptr;
    }
}

} // namespace pnv
