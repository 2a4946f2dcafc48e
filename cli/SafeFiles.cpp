#include "SafeFiles.h"
#include "Messages.h"

#include "AddressRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pnv::ctl {
namespace {

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

FileResult failure(FileResult::Status status, const QString &message)
{
    FileResult result;
    result.status = status;
    result.error = message;
    return result;
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

QString sizeText(qint64 bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

// Reads until end of file, refusing once more than `limit` bytes came.
FileResult readBounded(int fd, qint64 limit, const QString &name)
{
    FileResult result;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failure(FileResult::Status::Failed, QStringLiteral("cannot read %1: %2").arg(name, systemError(errno)));
        }
        if (got == 0)
            return result;
        if (result.data.size() + got > limit)
            return failure(FileResult::Status::Refused,
                           QStringLiteral("%1 is larger than %2; refused").arg(name, sizeText(limit)));
        result.data.append(buffer, got);
    }
}

// The first symbolic link on the way to `path` that the kernel's
// protected_symlinks rule would not follow: one in a sticky folder anyone
// may write to, owned neither by this user nor by the folder's owner. Such a
// link may have been planted by another user to make us replace a file of
// their choosing. Empty when there is none. The walk is the kernel's own:
// each link is read and its target walked in its place, ".." physically.
QByteArray untrustedLink(const QByteArray &path)
{
    QByteArray done = path.startsWith('/') ? QByteArray("/") : QFile::encodeName(QDir::currentPath());
    QList<QByteArray> todo = path.split('/');
    int links = 0;
    while (!todo.isEmpty()) {
        const QByteArray part = todo.takeFirst();
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            done.truncate(std::max<qsizetype>(1, done.lastIndexOf('/')));
            continue;
        }
        const QByteArray next = (done.endsWith('/') ? done : done + '/') + part;
        struct stat link {};
        if (::lstat(next.constData(), &link) != 0)
            return {};   // what is not there yet is no link
        if (!S_ISLNK(link.st_mode)) {
            done = next;
            continue;
        }
        struct stat folder {};
        if (::stat(done.constData(), &folder) != 0)
            return {};
        const bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
        if (shared && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid)
            return next;
        QByteArray target(4096, Qt::Uninitialized);
        const ssize_t size = ::readlink(next.constData(), target.data(), std::size_t(target.size()));
        if (size < 0 || size >= target.size() || ++links > 40)
            return {};   // the write itself reports what is wrong with it
        target.truncate(size);
        if (target.startsWith('/'))
            done = "/";
        todo = target.split('/') + todo;
    }
    return {};
}

} // namespace

FileResult readInputFile(const QString &path, qint64 limit, bool stdinAllowed)
{
    if (path == QLatin1String("-")) {
        if (!stdinAllowed)
            return failure(FileResult::Status::Refused, QStringLiteral("standard input (\"-\") cannot be used here"));
        return readBounded(STDIN_FILENO, limit, QStringLiteral("standard input"));
    }
    const QString name = quotedName(path);
    const QByteArray native = QFile::encodeName(path);
    // Judged before opening: opening some devices already acts on them.
    struct stat before {};
    if (::stat(native.constData(), &before) != 0)
        return failure(FileResult::Status::Refused, QStringLiteral("cannot read %1: %2").arg(name, systemError(errno)));
    if (!S_ISREG(before.st_mode))
        return failure(FileResult::Status::Refused,
                       QStringLiteral("cannot read %1: it is %2; only a regular file is read").arg(name, kindOf(before.st_mode)));
    if (before.st_size > limit)
        return failure(FileResult::Status::Refused,
                       QStringLiteral("%1 is larger than %2 (%3 bytes); refused")
                           .arg(name, sizeText(limit))
                           .arg(qint64(before.st_size)));
    // O_NONBLOCK so that a FIFO swapped in since the check cannot make open() wait.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failure(FileResult::Status::Refused, QStringLiteral("cannot read %1: %2").arg(name, systemError(errno)));
    struct stat opened {};
    FileResult result;
    if (::fstat(fd, &opened) != 0)
        result = failure(FileResult::Status::Failed, QStringLiteral("cannot read %1: %2").arg(name, systemError(errno)));
    else if (!S_ISREG(opened.st_mode))
        result = failure(FileResult::Status::Refused,
                         QStringLiteral("cannot read %1: it is %2; only a regular file is read").arg(name, kindOf(opened.st_mode)));
    else if (::fcntl(fd, F_SETFL, O_RDONLY) != 0)
        result = failure(FileResult::Status::Failed, QStringLiteral("cannot read %1: %2").arg(name, systemError(errno)));
    else
        result = readBounded(fd, limit, name);
    ::close(fd);
    return result;
}

FileResult writeAll(int fd, const QByteArray &content, const QString &name)
{
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return failure(FileResult::Status::Failed, QStringLiteral("cannot write %1: %2").arg(name, systemError(errno)));
        }
        done += wrote;
    }
    return {};
}

FileResult replaceFile(const QString &path, const QByteArray &content)
{
    const QString name = quotedName(path);
    if (path.isEmpty())
        return failure(FileResult::Status::Refused, QStringLiteral("the file name is empty; nothing was written"));
    QByteArray target = QFile::encodeName(path);
    if (const QByteArray link = untrustedLink(target); !link.isEmpty()) {
        struct stat owner {};
        ::lstat(link.constData(), &owner);
        return failure(FileResult::Status::Refused,
                       QStringLiteral("will not write %1: %2 is a link owned by another user (uid %3) in a folder anyone "
                                      "may write to; following it could replace a file of their choosing")
                           .arg(name, quotedName(QFile::decodeName(link)))
                           .arg(owner.st_uid));
    }
    mode_t mode = 0;
    struct stat existing {};
    bool exists = false;
    if (::stat(target.constData(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode))
            return failure(FileResult::Status::Refused,
                           QStringLiteral("will not replace %1: it is %2; only a regular file is replaced")
                               .arg(name, kindOf(existing.st_mode)));
        // A file nobody may write was made read-only on purpose; root could
        // replace it, and would undo that choice without a word.
        if ((existing.st_mode & 0222) == 0)
            return failure(FileResult::Status::Refused,
                           QStringLiteral("will not replace %1: it is read-only; make it writable first").arg(name));
        exists = true;
        mode = existing.st_mode & 07777;
        // A link stays a link: its target is what gets replaced.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (canonical.isEmpty())
            return failure(FileResult::Status::Failed, QStringLiteral("cannot write %1: cannot resolve it").arg(name));
        target = QFile::encodeName(canonical);
    } else if (errno != ENOENT) {
        return failure(FileResult::Status::Failed, QStringLiteral("cannot write %1: %2").arg(name, systemError(errno)));
    } else {
        struct stat link {};
        if (::lstat(target.constData(), &link) == 0)
            return failure(FileResult::Status::Refused,
                           QStringLiteral("will not write %1: it is a link to nothing").arg(name));
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }

    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
    // Named after the target where that fits in a file name's 255 bytes, so
    // a stray one says whose it was; else a short name of its own.
    const QByteArray base = target.mid(slash + 1);
    const QByteArray suffix(".pnv3400ctl-XXXXXX");
    QByteArray temporary = (slash < 0 ? QByteArray() : target.left(slash + 1)) + '.'
                           + (1 + base.size() + suffix.size() <= 255 ? base : QByteArray()) + suffix;
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failure(FileResult::Status::Failed, QStringLiteral("cannot write %1: %2").arg(name, systemError(errno)));

    FileResult result = writeAll(fd, content, name);
    const auto check = [&](bool ok, const char *what) {
        if (result.ok() && !ok)
            result = failure(FileResult::Status::Failed,
                             QStringLiteral("cannot write %1: %2 failed: %3").arg(name, QLatin1String(what), systemError(errno)));
    };
    check(::fchmod(fd, mode) == 0, "setting the permissions");
    // Keep the owner when root replaces someone else's file; not being allowed to is no failure.
    if (exists && result.ok() && ::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
    }
    check(::fsync(fd) == 0, "sync");
    check(::close(fd) == 0, "close");
    if (result.ok())
        check(::rename(temporary.constData(), target.constData()) == 0, "rename");
    if (!result.ok()) {
        ::unlink(temporary.constData());
        return result;
    }
    // The new name is on disk only once the folder is synced; the data already is.
    if (const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return result;
}

} // namespace pnv::ctl
