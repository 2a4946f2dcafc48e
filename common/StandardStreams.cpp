#include "StandardStreams.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pnv {
namespace {

int g_firstError[2] = {0, 0};   // stdout, stderr

int &firstError(FILE *stream) { return g_firstError[stream == stderr ? 1 : 0]; }

// A stream's pending output, its sticky error and its close, as one verdict;
// the errno of the first failure, or 0.
int closeStream(FILE *stream)
{
    // Looked up before the close: the stream's address means nothing after it.
    const int recorded = firstError(stream);
    const bool hadError = std::ferror(stream) != 0;
    errno = 0;
    const bool flushFailed = std::fflush(stream) != 0;
    const int flushError = errno;
    const bool closeFailed = std::fclose(stream) != 0;
    const int closeError = errno;
    if (flushFailed)
        return flushError ? flushError : EIO;
    if (closeFailed)
        return closeError ? closeError : EIO;
    if (hadError)
        return recorded ? recorded : EIO;
    return 0;
}

} // namespace

void writeStream(FILE *stream, const char *text)
{
    errno = 0;
    const bool failed = std::fputs(text, stream) < 0 || std::fflush(stream) != 0;
    if ((failed || std::ferror(stream)) && firstError(stream) == 0)
        firstError(stream) = errno ? errno : EIO;
}

void ensureStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is taken, which is `fd` itself.
        const int opened = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened != fd) {
            // Without /dev/null nothing safe can be done: stop before any
            // socket could take a standard descriptor's number.
            std::_Exit(3);
        }
    }
}

bool standardOutputFailed() { return firstError(stdout) != 0 || std::ferror(stdout) != 0; }

int closeStandardStreams(const char *program, int exitCode)
{
    const int failing = exitCode == 0 ? 1 : exitCode;
    if (const int error = closeStream(stdout); error != 0) {
        std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(error));
        exitCode = failing;
    }
    // Standard error is flushed, not closed: what ends the process after
    // main (Qt's own objects) may still have something to say there.
    if (std::fflush(stderr) != 0 || std::ferror(stderr))
        exitCode = failing;
    return exitCode;
}

} // namespace pnv
