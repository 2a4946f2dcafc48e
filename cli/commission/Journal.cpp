#include "Journal.h"

#include "Messages.h"
#include "SafeFiles.h"
#include "TextFiles.h"
#include "WriteFlow.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace pnv::ctl {
namespace {

constexpr qint64 kJournalLimit = 64 * 1024 * 1024;
const QString kWriting = QStringLiteral("writing");

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// A cell as RFC 4180 has it: quoted when it holds a separator, a quote or
// blanks at its ends, which a reader would otherwise drop. A line break (in
// an encoder's message, say) becomes a blank: a quoted cell never spans lines.
QString csvCell(QString text)
{
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    if (!text.contains(u',') && !text.contains(u'"') && text.trimmed() == text)
        return text;
    return u'"' + text.replace(QStringLiteral("\""), QStringLiteral("\"\"")) + u'"';
}

bool isDone(const QString &outcome)
{
    return outcome == outcomeName(WriteOutcome::Applied) || outcome == outcomeName(WriteOutcome::Unchanged);
}

} // namespace

const QString Journal::kHeader = QStringLiteral("time,mac,row,ip,port,gateway,mask,outcome,message");

QString Journal::besidePlan(const QString &planPath)
{
    QString base = planPath;
    if (base.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        base.chop(4);
    return base + QStringLiteral(".journal.csv");
}

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);   // the lock goes with it
}

QList<Refusal> Journal::open(const QString &path, bool create)
{
    m_path = path;
    const QString name = printable(path, 1024);
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (create ? O_RDWR | O_APPEND | O_CREAT : O_RDONLY);
    m_fd = ::open(QFile::encodeName(path).constData(), flags, 0644);
    if (m_fd < 0)
        return !create && errno == ENOENT ? QList<Refusal>()
                                          : QList<Refusal>{QStringLiteral("cannot open the journal %1: %2").arg(name, systemError())};
    struct stat status {};
    if (::fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode))
        return {QStringLiteral("the journal %1 is not a regular file").arg(name)};
    if (::flock(m_fd, (create ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        return {errno == EWOULDBLOCK ? QStringLiteral("the journal %1 is in use by another pnv3400ctl commission").arg(name)
                                     : QStringLiteral("cannot lock the journal %1: %2").arg(name, systemError())};
    if (status.st_size > kJournalLimit)
        return {QStringLiteral("the journal %1 is larger than 64 MiB; refused").arg(name)};

    QByteArray bytes(qsizetype(status.st_size), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(m_fd, bytes.data() + got, std::size_t(bytes.size() - got), off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {QStringLiteral("cannot read the journal %1: %2").arg(name, n < 0 ? systemError() : QStringLiteral("cut short"))};
        got += n;
    }
    // A spreadsheet that saved the journal may have put a byte order mark first;
    // it is kept as it is, and the lines are read after it.
    const QByteArray byteOrderMark("\xEF\xBB\xBF");
    const qsizetype start = bytes.startsWith(byteOrderMark) ? byteOrderMark.size() : 0;
    bytes.remove(0, start);
    // Nothing is cut from a file that is not a journal (a plan named by mistake, say).
    const QByteArray headerLine = kHeader.toUtf8();
    const bool ownHeaderCutShort = (headerLine + '\n').startsWith(bytes);
    if (!ownHeaderCutShort && !bytes.startsWith(headerLine + '\n') && !bytes.startsWith(headerLine + "\r\n"))
        return {placed(path, 1, QStringLiteral("the first line of a journal is \"%1\"").arg(kHeader))};
    // A last line without its line end never finished its sync: a "writing" line
    // cut short went down before its write was sent, and an outcome's row is
    // bound by the "writing" line before it. It goes, so appends stay lines.
    if (const qsizetype whole = ownHeaderCutShort ? 0 : bytes.lastIndexOf('\n') + 1; whole < bytes.size()) {
        if (create && ::ftruncate(m_fd, off_t(start + whole)) != 0)
            return {QStringLiteral("cannot cut the unfinished last line of the journal %1: %2").arg(name, systemError())};
        bytes.truncate(whole);
    }
    if (bytes.isEmpty())
        return create ? startFile(name) : QList<Refusal>();

    QList<Refusal> errors;
    bool header = true;
    const QString text = QString::fromUtf8(bytes);
    const CsvError csv = splitCsv(text, std::size_t(kJournalLimit), [&](CsvRecord &&record) {
        const auto error = [&](const QString &message) { errors << placed(path, record.line, message); };
        if (std::exchange(header, false))
            return;   // checked above
        if (record.cells.size() != 9) {
            error(QStringLiteral("expected 9 cells (%1), found %2").arg(kHeader).arg(record.cells.size()));
            return;
        }
        bool numeric = false;
        JournalLine line{normalMac(record.cells[1]), record.cells[2].toInt(&numeric),
                         {record.cells[3], record.cells[4], record.cells[5], record.cells[6]}, record.cells[7],
                         record.cells[8]};
        if (line.mac.isEmpty() || !numeric || line.row < 1)
            error(QStringLiteral("no MAC or row number"));
        else if (line.outcome != kWriting && !outcomeFromName(line.outcome))
            error(QStringLiteral("unknown outcome \"%1\"").arg(printable(line.outcome)));
        else
            take(record.line, line, errors);
    });
    if (!csv.message.isEmpty())
        errors << placed(path, csv.line, csv.message);
    return errors;
}

QList<Refusal> Journal::startFile(const QString &name)
{
    if (const FileResult written = writeAll(m_fd, (kHeader + u'\n').toUtf8(), name); !written.ok())
        return {written.error};
    // The file and its name both reach the disk before anything is written to an encoder.
    const int folder = ::open(QFile::encodeName(QFileInfo(m_path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = ::fsync(m_fd) == 0 && folder >= 0 && ::fsync(folder) == 0;
    if (folder >= 0)
        ::close(folder);
    return synced ? QList<Refusal>() : QList<Refusal>{QStringLiteral("cannot sync the journal %1: %2").arg(name, systemError())};
}

void Journal::take(int fileLine, const JournalLine &line, QList<Refusal> &errors)
{
    // One MAC, one row: a line that breaks that binds nothing, and the journal is refused.
    if (const auto bound = m_rowOfMac.find(line.mac); bound != m_rowOfMac.end() && *bound != line.row) {
        errors << placed(m_path, fileLine, QStringLiteral("MAC %1 with row %2, but line %3 gave it row %4")
                                               .arg(line.mac)
                                               .arg(line.row)
                                               .arg(m_lineOfRow.value(*bound))
                                               .arg(*bound));
        return;
    }
    if (const QString other = m_macOfRow.value(line.row); !other.isEmpty() && other != line.mac) {
        errors << placed(m_path, fileLine, QStringLiteral("row %1 with MAC %2, but line %3 gave it to %4")
                                               .arg(line.row)
                                               .arg(line.mac)
                                               .arg(m_lineOfRow.value(line.row))
                                               .arg(other));
        return;
    }
    if (!m_macOfRow.contains(line.row)) {
        m_macOfRow.insert(line.row, line.mac);
        m_rowOfMac.insert(line.mac, line.row);
        m_ipOfRow.insert(line.row, line.fields.ip);
        m_lineOfRow.insert(line.row, fileLine);
    }
    m_lastOutcome.insert(line.row, line.outcome);
    if (isDone(line.outcome)) {
        m_done.insert(line.row);
        m_doneFields.insert(line.row, line.fields);
    }
}

QList<Refusal> Journal::disagreements(const CommissionPlan &plan) const
{
    QList<Refusal> errors;
    for (auto bound = m_macOfRow.begin(); bound != m_macOfRow.end(); ++bound) {
        const int line = m_lineOfRow.value(bound.key());
        if (bound.key() > int(plan.rows.size())) {
            errors << placed(m_path, line, QStringLiteral("row %1 is not in the plan").arg(bound.key()));
            continue;
        }
        const CommissionRow &row = plan.rows[std::size_t(bound.key() - 1)];
        if (m_ipOfRow.value(bound.key()) != row.fields.ip)
            errors << placed(m_path, line, QStringLiteral("row %1 was given ip %2; the plan now gives it %3")
                                               .arg(bound.key())
                                               .arg(printable(m_ipOfRow.value(bound.key())), printable(row.fields.ip)));
        if (!row.mac.isEmpty() && row.mac != *bound)
            errors << placed(m_path, line, QStringLiteral("row %1 went to MAC %2; the plan gives it to %3")
                                               .arg(bound.key())
                                               .arg(*bound, row.mac));
    }
    std::stable_sort(errors.begin(), errors.end(), [](const Refusal &a, const Refusal &b) { return a.line < b.line; });
    return errors;
}

std::optional<int> Journal::rowOf(const QString &mac) const
{
    const auto found = m_rowOfMac.find(mac);
    return found == m_rowOfMac.end() ? std::nullopt : std::optional<int>(*found);
}

QString Journal::append(const JournalLine &line)
{
    const QStringList cells{QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
                            line.mac,
                            QString::number(line.row),
                            line.fields.ip,
                            line.fields.port,
                            line.fields.gateway,
                            line.fields.mask,
                            line.outcome,
                            line.message};
    QString text;
    for (const QString &cell : cells)
        text += csvCell(cell) + u',';
    text.back() = u'\n';
    const FileResult written = writeAll(m_fd, text.toUtf8(), printable(m_path, 1024));
    if (!written.ok())
        return written.error;
    if (::fsync(m_fd) != 0)
        return QStringLiteral("cannot sync the journal %1: %2").arg(printable(m_path, 1024), systemError());
    QList<Refusal> ignored;
    take(0, line, ignored);
    return {};
}

} // namespace pnv::ctl
