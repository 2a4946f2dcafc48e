#include "StateFile.h"

#include "ConfigRules.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pnv::sim {
namespace {

const char *const kKeys[] = {"mac", "address", "port", "aux-address", "aux-port", "gateway", "mask"};

// Plain decimal digits only (no sign, no blanks), at most `maxDigits` of
// them, with a value up to `maxValue`.
std::optional<int> parseDecimal(const QString &text, int maxDigits, int maxValue)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return std::nullopt;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    const int value = text.toInt();
    if (value > maxValue)
        return std::nullopt;
    return value;
}

std::optional<tessalin::Octets4> parseOctets(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    tessalin::Octets4 octets{};
    for (int i = 0; i < 4; ++i) {
        const auto value = parseDecimal(parts[i], 3, 255);
        if (!value)
            return std::nullopt;
        octets[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(*value);
    }
    return octets;
}

std::optional<std::uint16_t> parsePort(const QString &text)
{
    const auto value = parseDecimal(text, 5, 65535);
    if (!value)
        return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

QString systemError(const char *what, const QString &path)
{
    return QStringLiteral("%1 %2: %3").arg(QString::fromLatin1(what), path, QString::fromLocal8Bit(std::strerror(errno)));
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}


const char *kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

// Where the state really lives. A symbolic link is followed to its end, so
// that a user who keeps the state elsewhere keeps that arrangement; a link
// that leads nowhere is an error rather than a new encoder.
struct StateTarget {
    QString path;        // the file to read and to replace
    bool exists = false;
    QString error;
};

StateTarget resolveTarget(const QString &path)
{
    StateTarget target;
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0) {
        if (errno == ENOENT) {
            target.path = path;
            return target;
        }
        target.error = systemError("cannot examine", path);
        return target;
    }
    target.path = path;
    if (S_ISLNK(info.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(native.constData(), resolved)) {
            target.error = errno == ENOENT ? QStringLiteral("%1 is a link to nothing (%2)")
                                                 .arg(path, QFileInfo(path).symLinkTarget())
                                           : systemError("cannot follow the link", path);
            return target;
        }
        target.path = QFile::decodeName(resolved);
        if (::stat(resolved, &info) != 0) {
            target.error = systemError("cannot examine", target.path);
            return target;
        }
    }
    if (!S_ISREG(info.st_mode)) {
        target.error = QStringLiteral("%1 is %2, not a regular file").arg(path, QLatin1String(kindOf(info.st_mode)));
        return target;
    }
    target.exists = true;
    return target;
}

} // namespace

QString formatMac(const tessalin::MacAddress &mac)
{
    QStringList parts;
    for (const auto byte : mac)
        parts << QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(':'));
}

std::optional<tessalin::MacAddress> parseMac(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 6)
        return std::nullopt;
    tessalin::MacAddress mac{};
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        const uint value = parts[i].toUInt(&ok, 16);
        if (!ok || parts[i].size() != 2 || value > 255)
            return std::nullopt;
        mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    }
    return mac;
}

QString formatOctets(const tessalin::Octets4 &octets)
{
    return QStringLiteral("%1.%2.%3.%4").arg(octets[0]).arg(octets[1]).arg(octets[2]).arg(octets[3]);
}

QString formatState(const tessalin::NetworkConfig &config)
{
    return QStringLiteral("# PNV-3400 encoder simulator state; the address and port apply at the next start\n"
                          "mac = %1\naddress = %2\nport = %3\naux-address = %4\naux-port = %5\n"
                          "gateway = %6\nmask = %7\n")
        .arg(formatMac(config.mac), formatOctets(config.address))
        .arg(config.port)
        .arg(formatOctets(config.auxAddress))
        .arg(config.auxPort)
        .arg(formatOctets(config.gateway), formatOctets(config.mask));
}

std::optional<tessalin::NetworkConfig> parseState(const QByteArray &text, QString &error)
{
    tessalin::NetworkConfig config;
    QStringList seen;
    const QList<QByteArray> lines = text.split('\n');
    for (int number = 1; number <= lines.size(); ++number) {
        const QString line = QString::fromUtf8(lines[number - 1]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        const auto fail = [&](const QString &why) {
            error = QStringLiteral("line %1: %2").arg(number).arg(why);
            return std::nullopt;
        };
        if (equals < 0)
            return fail(QStringLiteral("expected \"key = value\""));
        if (seen.contains(key))
            return fail(QStringLiteral("\"%1\" given twice").arg(key));
        bool valid = true;
        if (key == QLatin1String("mac")) {
            const auto mac = parseMac(value);
            valid = mac.has_value();
            if (valid)
                config.mac = *mac;
        } else if (key == QLatin1String("port") || key == QLatin1String("aux-port")) {
            const auto port = parsePort(value);
            valid = port.has_value();
            if (valid)
                (key == QLatin1String("port") ? config.port : config.auxPort) = *port;
        } else if (key == QLatin1String("address") || key == QLatin1String("aux-address")
                   || key == QLatin1String("gateway") || key == QLatin1String("mask")) {
            const auto octets = parseOctets(value);
            valid = octets.has_value();
            if (valid) {
                if (key == QLatin1String("address"))
                    config.address = *octets;
                else if (key == QLatin1String("aux-address"))
                    config.auxAddress = *octets;
                else if (key == QLatin1String("gateway"))
                    config.gateway = *octets;
                else
                    config.mask = *octets;
            }
        } else {
            return fail(QStringLiteral("unknown key \"%1\"").arg(key));
        }
        if (!valid)
            return fail(QStringLiteral("invalid %1 \"%2\"").arg(key, value));
        seen << key;
    }
    for (const char *key : kKeys) {
        if (!seen.contains(QLatin1String(key))) {
            error = QStringLiteral("\"%1\" missing").arg(QLatin1String(key));
            return std::nullopt;
        }
    }
    const std::string reason = rejectionReason(config);
    if (!reason.empty()) {
        error = QStringLiteral("configuration the encoder would refuse: %1").arg(QString::fromStdString(reason));
        return std::nullopt;
    }
    return config;
}

StateLoad loadState(const QString &path)
{
    StateLoad result;
    const StateTarget target = resolveTarget(path);
    if (!target.error.isEmpty()) {
        result.error = target.error;
        return result;
    }
    if (!target.exists) {
        result.missing = true;
        result.error = QStringLiteral("%1 does not exist").arg(path);
        return result;
    }
    // Never block in open(): a named pipe put in place after the check above
    // is still refused below instead of waiting for a writer forever.
    const QByteArray native = QFile::encodeName(target.path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.missing = errno == ENOENT;
        result.error = systemError("cannot open", path);
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result.error = QStringLiteral("%1 is %2, not a regular file").arg(path, QLatin1String(kindOf(info.st_mode)));
        ::close(fd);
        return result;
    }
    QByteArray text;
    char chunk[4096];
    constexpr qsizetype kMaxStateSize = 64 * 1024;   // a state is a few hundred bytes
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = systemError("cannot read", path);
            ::close(fd);
            return result;
        }
        if (n == 0)
            break;
        text.append(chunk, n);
        if (text.size() > kMaxStateSize) {
            ::close(fd);
            result.error = QStringLiteral("%1: too large for a state file").arg(path);
            return result;
        }
    }
    ::close(fd);
    QString why;
    result.config = parseState(text, why);
    if (!result.config)
        result.error = QStringLiteral("%1: %2").arg(path, why);
    return result;
}

QString temporaryPath(const QString &path)
{
    const StateTarget target = resolveTarget(path);
    return (target.path.isEmpty() ? path : target.path) + QStringLiteral(".tmp");
}

QString saveState(const QString &path, const tessalin::NetworkConfig &config)
{
    // The save goes beside the file a link points at and replaces that file:
    // renaming over the link itself would cut the user's link.
    const StateTarget resolved = resolveTarget(path);
    if (!resolved.error.isEmpty())
        return resolved.error;
    const QByteArray target = QFile::encodeName(resolved.path);
    const QByteArray temporary = QFile::encodeName(resolved.path + QStringLiteral(".tmp"));
    const QByteArray folder = QFile::encodeName(QFileInfo(resolved.path).absolutePath());
    const QByteArray text = formatState(config).toUtf8();

    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return systemError("cannot create", QFile::decodeName(temporary));
    // Crash tests set PNV3400_SIM_SLOW_SAVE_MS to hold the save half-way, so
    // that a kill lands exactly where a non-atomic save would tear the file.
    const int pauseMs = qEnvironmentVariableIntValue("PNV3400_SIM_SLOW_SAVE_MS");
    const qsizetype half = pauseMs > 0 ? text.size() / 2 : text.size();
    bool written = writeAll(fd, text.left(half));
    if (written && pauseMs > 0) {
        ::usleep(static_cast<useconds_t>(qMin(pauseMs, 10000)) * 1000);
        written = writeAll(fd, text.mid(half));
    }
    written = written && ::fsync(fd) == 0;
    const QString writeError = written ? QString() : systemError("cannot write", QFile::decodeName(temporary));
    if (::close(fd) != 0 && written)
        return systemError("cannot close", QFile::decodeName(temporary));
    if (!written) {
        ::unlink(temporary.constData());
        return writeError;
    }
    if (::rename(temporary.constData(), target.constData()) != 0)
        return systemError("cannot replace", path);
    // Without this the rename itself may not survive a power cut.
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return systemError("cannot open folder", QFile::decodeName(folder));
    const bool synced = ::fsync(dir) == 0;
    ::close(dir);
    return synced ? QString() : systemError("cannot sync folder", QFile::decodeName(folder));
}

QString defaultStatePath()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/pnv3400-sim/encoder.state");
}

tessalin::MacAddress macForStatePath(const QString &path)
{
    // FNV-1a of the absolute path: stable, and different for different files.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : QFileInfo(path).absoluteFilePath().toUtf8()) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 0x100000001b3ULL;
    }
    tessalin::MacAddress mac{};
    mac[0] = 0x02;   // locally administered, unicast
    for (std::size_t i = 1; i < mac.size(); ++i)
        mac[i] = static_cast<std::uint8_t>(hash >> (8 * (i - 1)));
    return mac;
}

} // namespace pnv::sim
