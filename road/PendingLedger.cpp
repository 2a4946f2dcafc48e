#include "PendingLedger.h"

#include "AddressRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pnv::road {
namespace {

const QByteArray kHeader = "mac,answered-at,ip,port,written\n";
// A ledger is a handful of lines; anything larger is not ours.
constexpr qint64 kLimit = 1 << 20;

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// The lock beside the ledger, held until this object ends.
class LedgerLock final {
public:
    LedgerLock(const QString &ledger, bool exclusive)
    {
        const QString path = QFileInfo(ledger).absolutePath() + QStringLiteral("/pending.lock");
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0 || ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0)
            m_error = QStringLiteral("cannot lock %1: %2").arg(path, systemError());
    }
    ~LedgerLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LedgerLock(const LedgerLock &) = delete;
    LedgerLock &operator=(const LedgerLock &) = delete;
    const QString &error() const { return m_error; }

private:
    int m_fd = -1;
    QString m_error;
};

std::vector<PendingEntry> parse(const QByteArray &text)
{
    std::vector<PendingEntry> entries;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> cells = lines[i].split(',');
        if (cells.size() != 5)
            continue;
        PendingEntry entry;
        entry.mac = QString::fromLatin1(cells[0]);
        entry.answeredAt = QString::fromLatin1(cells[1]);
        const auto ip = net::parseDotted(QString::fromLatin1(cells[2]));
        const auto port = net::parsePort(QString::fromLatin1(cells[3]));
        entry.written = QDateTime::fromString(QString::fromLatin1(cells[4]), Qt::ISODate);
        if (!ip || !port || !entry.written.isValid())
            continue;   // a line cut short by a crash says nothing
        entry.ip = *ip;
        entry.port = *port;
        entries.push_back(entry);
    }
    return entries;
}

QByteArray format(const std::vector<PendingEntry> &entries)
{
    QByteArray text = kHeader;
    for (const PendingEntry &entry : entries)
        text += QStringLiteral("%1,%2,%3,%4,%5\n")
                    .arg(entry.mac, entry.answeredAt, net::formatDotted(entry.ip))
                    .arg(entry.port)
                    .arg(entry.written.toUTC().toString(Qt::ISODate))
                    .toLatin1();
    return text;
}

std::vector<PendingEntry> readLedger(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    return parse(file.read(kLimit));
}

// Replaces the ledger whole: a temporary file beside it, synced, renamed
// over it, and the folder synced, so that a crash leaves the old or the new.
QString writeLedger(const QString &path, const std::vector<PendingEntry> &entries)
{
    const QByteArray name = QFile::encodeName(path);
    const QByteArray temporary = name + ".new";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return QStringLiteral("cannot write %1: %2").arg(path, systemError());
    const QByteArray text = format(entries);
    bool ok = ::write(fd, text.constData(), std::size_t(text.size())) == text.size() && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.constData(), name.constData()) != 0) {
        const QString why = systemError();
        ::unlink(temporary.constData());
        return QStringLiteral("cannot write %1: %2").arg(path, why);
    }
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = folder >= 0 && ::fsync(folder) == 0;
    if (folder >= 0)
        ::close(folder);
    return synced ? QString() : QStringLiteral("cannot sync the folder of %1: %2").arg(path, systemError());
}

} // namespace

QString PendingEntry::promisedText() const { return QStringLiteral("%1:%2").arg(net::formatDotted(ip)).arg(port); }

QString PendingLedger::defaultPath()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/pnv3400/pending.csv");
}

std::vector<PendingEntry> PendingLedger::entries(QString *error) const
{
    if (!QFileInfo::exists(m_path))
        return {};
    const LedgerLock lock(m_path, false);
    if (!lock.error().isEmpty()) {
        if (error)
            *error = lock.error();
        return {};
    }
    return readLedger(m_path, error);
}

std::optional<PendingEntry> PendingLedger::promisedToAnother(std::uint32_t ip, const QString &mac, QString *error) const
{
    for (const PendingEntry &entry : entries(error))
        if (entry.ip == ip && entry.mac.compare(mac, Qt::CaseInsensitive) != 0)
            return entry;
    return std::nullopt;
}

template <typename Change>
QString PendingLedger::update(Change change)
{
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return QStringLiteral("cannot make the folder of %1").arg(m_path);
    const LedgerLock lock(m_path, true);
    if (!lock.error().isEmpty())
        return lock.error();
    QString error;
    std::vector<PendingEntry> entries = readLedger(m_path, &error);
    if (!error.isEmpty())
        return error;
    if (!change(entries))
        return {};
    return writeLedger(m_path, entries);
}

QString PendingLedger::seen(const QString &mac, std::uint32_t reachedIp, std::uint16_t reachedPort, std::uint32_t heldIp,
                            std::uint16_t heldPort)
{
    // The one-shot read pays for a stat, no more, while nothing is pending.
    if (!QFileInfo::exists(m_path))
        return {};
    return update([&](std::vector<PendingEntry> &entries) {
        const auto settled = [&](const PendingEntry &entry) {
            if (entry.mac.compare(mac, Qt::CaseInsensitive) != 0)
                return false;
            const bool there = entry.ip == reachedIp && entry.port == reachedPort;
            const bool stillHeld = entry.ip == heldIp && entry.port == heldPort;
            return there || !stillHeld;
        };
        const auto end = std::remove_if(entries.begin(), entries.end(), settled);
        const bool changed = end != entries.end();
        entries.erase(end, entries.end());
        return changed;
    });
}

QString PendingLedger::promise(const PendingEntry &entry)
{
    return update([&](std::vector<PendingEntry> &entries) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const PendingEntry &old) { return old.mac.compare(entry.mac, Qt::CaseInsensitive) == 0; }),
                      entries.end());
        entries.push_back(entry);
        return true;
    });
}

QString PendingLedger::forget(const QString &mac, bool *found)
{
    if (found)
        *found = false;
    if (!QFileInfo::exists(m_path))
        return {};
    return update([&](std::vector<PendingEntry> &entries) {
        const auto end = std::remove_if(entries.begin(), entries.end(),
                                        [&](const PendingEntry &entry) { return entry.mac.compare(mac, Qt::CaseInsensitive) == 0; });
        const bool changed = end != entries.end();
        entries.erase(end, entries.end());
        if (found)
            *found = changed;
        return changed;
    });
}

} // namespace pnv::road
