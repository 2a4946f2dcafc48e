#pragma once
// The run-time binding of the device library's five entry points.
//
// The program binds all five at start, before any window exists, all or
// nothing. The window receives the table of function pointers, so a test can
// hand it a table of its own.

#include "tessalin.h"
#include "tessalin_codes.h"

#include <memory>
#include <string>
#include <vector>

namespace pnv {

struct TessalinApi {
    TESSALIN_ENTRY_POINTS(TESSALIN_POINTER_MEMBER)
};

// The Linux file name of the device library.
inline constexpr const char *kTessalinFileName = "libtessalin.so";
// The library that serves a Windows DLL through Wine, kept beside ours.
inline constexpr const char *kBridgeFileName = "libtessalin-bridge.so";

// An opened device library with all five entry points resolved.
class TessalinLibrary final {
public:
    struct LoadResult {
        std::unique_ptr<TessalinLibrary> library;  // null on failure
        std::string error;                         // names the file or the entry point
    };

    // When the Wine host of a Windows DLL starts: at binding, so that the
    // first call does not wait for it, or at the first S_Connect, for a
    // binding made only to check that the library binds (none starts if
    // no connect comes). No matter for a native library.
    enum class HostStart { AtBinding, AtFirstConnect };

    // A place to look. An explicit one (TESSALIN_LIBRARY) is used or
    // reported, never skipped; the others count only when the file is there.
    struct Candidate {
        std::string path;
        bool explicitChoice = false;
    };

    // Looks in TESSALIN_LIBRARY (a full path, for the maker's library), next to
    // the executable, in the installed private library folder found from the
    // executable's own folder, in that folder at its configured absolute
    // place, then where the system looks.
    static LoadResult load(HostStart start = HostStart::AtBinding);
    // Binds one file by what its header says: an ELF library natively, a
    // Windows DLL (PE) through the Wine bridge, in a host of its own that
    // ends with this object (other bindings keep theirs). A bare name is
    // left to the system's search.
    static LoadResult loadFrom(const std::string &pathOrName, HostStart start = HostStart::AtBinding);
    // The files load() tries, in order; only TESSALIN_LIBRARY's is explicit.
    static std::vector<Candidate> candidates();
    // Where the Wine bridge library is, or empty when it is not installed.
    static std::string bridgePath();

    ~TessalinLibrary();
    TessalinLibrary(const TessalinLibrary &) = delete;
    TessalinLibrary &operator=(const TessalinLibrary &) = delete;

    const TessalinApi &api() const { return m_api; }
    const std::string &path() const { return m_path; }
    // Served through the Wine bridge: whether its host is now making a new
    // Wine prefix (a first start takes some seconds; false natively).
    bool preparingWinePrefix() const;
    // What the Wine bridge knows of the last call through it in this program
    // beyond its result (every call clears it): the DLL crashed, ended its
    // host or could not be loaded; the call did not return within the hang
    // guard; the DLL could not be run at all; or it showed a window. `text` is
    // one line for the user, naming the DLL and what happened. Nothing for a
    // native library.
    struct Failure {
        enum class Kind {
            None,
            Hung,     // ended by the hang guard: what the call did is not known (a write's outcome is unknown)
            Library,  // crashed, ended its host, threw, could not load: a write may have reached the encoder
            Host,     // never reached the DLL (Wine, the prefix, another network namespace's wineserver)
            Window,   // answered, after showing a message box or dialog: `text` says what it said
        };
        Kind kind = Kind::None;
        std::string text;
    };
    static Failure lastFailure();
    // Served through the Wine bridge: where the lines the DLL, its host and
    // Wine print go, each with the DLL's name in front (by default our
    // standard error), for every DLL this program binds through the bridge.
    // Called from the bridge's own threads. Natively a no-op.
    void setBridgeLog(void (*sink)(void *context, const char *line), void *context) const;

private:
    TessalinLibrary(void *handle, std::string path, TessalinApi api);
    static LoadResult loadNative(const std::string &pathOrName);
    static LoadResult loadThroughBridge(const std::string &dll, HostStart start);
    void *m_handle = nullptr;
    std::string m_path;
    TessalinApi m_api;
    int m_bridgeSlot = -1;   // through the Wine bridge: the slot whose host serves this DLL
};

// The window's own reference to the library by name, taken at creation and
// released at close. It is used for nothing else; a failed load goes unnoticed.
// For a Windows DLL it is a reference to the bridge that serves it.
class LibraryReference final {
public:
    LibraryReference() = default;
    ~LibraryReference();
    LibraryReference(const LibraryReference &) = delete;
    LibraryReference &operator=(const LibraryReference &) = delete;

    void acquire(const std::string &pathOrName);
    void release();
    bool isHeld() const { return m_handle != nullptr; }

private:
    void *m_handle = nullptr;
};

} // namespace pnv
