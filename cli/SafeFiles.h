#pragma once
// Reading and replacing the files pnv3400ctl is handed, whatever they turn out
// to be: only regular files are read or replaced, reads are bounded, and a
// replacement either lands whole or leaves the old file exactly as it was.

#include <QByteArray>
#include <QString>

namespace pnv::ctl {

constexpr qint64 kPlanFileLimit = 64 * 1024 * 1024;
constexpr qint64 kConfigFileLimit = 64 * 1024;

struct FileResult {
    enum class Status {
        Ok,
        Refused,   // not a regular file, or too large: the user's to fix (usage, exit 2)
        Failed,    // the system failed the read or write (exit 1 for a write)
    };
    Status status = Status::Ok;
    QString error;     // names the file and the reason
    QByteArray data;   // what was read
    bool ok() const { return status == Status::Ok; }
};

// The whole of a regular file (a link to one included), or of standard input
// for "-" when `stdinAllowed`. A FIFO, device, socket or folder is refused
// without waiting on it; so is anything larger than `limit` bytes.
FileResult readInputFile(const QString &path, qint64 limit, bool stdinAllowed);

// Replaces the regular file at `path` (or the file a link there points to)
// with `content`, or creates it; anything else at `path` is refused untouched,
// and so is a path through a link that the kernel's protected_symlinks rule
// would not follow (another user's link in a sticky world-writable folder).
// Every write, sync and close is checked; on any failure the temporary file is
// removed and the old file stays as it was.
FileResult replaceFile(const QString &path, const QByteArray &content);

// Writes all of `content` to a file descriptor, retrying short writes.
FileResult writeAll(int fd, const QByteArray &content, const QString &name);

} // namespace pnv::ctl
