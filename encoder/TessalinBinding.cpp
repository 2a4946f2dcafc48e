#include "TessalinBinding.h"

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

} // namespace

std::vector<std::string> TessalinLibrary::candidatePaths()
{
    std::vector<std::string> paths;
    if (const char *env = std::getenv("TESSALIN_LIBRARY"); env && *env)
        paths.emplace_back(env);
    const std::string dir = executableDir();
    if (!dir.empty()) {
        paths.push_back(dir + "/" + kTessalinFileName);
        paths.push_back(dir + "/" PNV_PRIVATE_LIBDIR_FROM_BINDIR "/" + kTessalinFileName);
    }
    paths.push_back(std::string(PNV_PRIVATE_LIBDIR) + "/" + kTessalinFileName);
    return paths;
}

TessalinLibrary::LoadResult TessalinLibrary::load()
{
    const auto candidates = candidatePaths();
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        // An explicitly named library is used or reported, never skipped.
        const bool explicitChoice = i == 0 && std::getenv("TESSALIN_LIBRARY") && *std::getenv("TESSALIN_LIBRARY");
        if (explicitChoice || fileExists(candidates[i]))
            return loadFrom(candidates[i]);
    }
    return loadFrom(kTessalinFileName);  // the system's search path
}

TessalinLibrary::LoadResult TessalinLibrary::loadFrom(const std::string &pathOrName)
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
    const bool complete = resolve(handle, "S_Connect", api.S_Connect, error, pathOrName)
        && resolve(handle, "S_Disconnect", api.S_Disconnect, error, pathOrName)
        && resolve(handle, "ConfigRead", api.ConfigRead, error, pathOrName)
        && resolve(handle, "ConfigWrite", api.ConfigWrite, error, pathOrName)
        && resolve(handle, "DLLClose", api.DLLClose, error, pathOrName);
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
    if (m_handle)
        ::dlclose(m_handle);
}

LibraryReference::~LibraryReference() { release(); }

void LibraryReference::acquire(const std::string &pathOrName)
{
    release();
    m_handle = ::dlopen(pathOrName.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void LibraryReference::release()
{
    if (m_handle) {
        ::dlclose(m_handle);
        m_handle = nullptr;
    }
}

} // namespace pnv
