// The saved configuration file and the apply plan: what is accepted, and
// that every refusal names the file and the line.

#include "AddressProbe.h"
#include "CtlProcess.h"
#include "Reach.h"
#include "SealedNetwork.h"
#include "SafeFiles.h"
#include "TextFiles.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pnv;
using namespace pnv::ctl;

class CtlFilesTest final : public QObject {
    Q_OBJECT

private slots:
    void configFile_data();
    void configFile();
    void savedFileReadsBack();
    void plan_data();
    void plan();
    void fileKinds_data();
    void fileKinds();
    void configRules();
    void files_data();
    void files();
    void addressInUse_data();
    void addressInUse();
    void addressWithoutRouteIsNamed();
    void reach_data();
    void reach();
};

namespace {

// What is at the path a file test works on, made before the code under test runs.
enum class Target { None, Regular, ReadOnly, LinkToRegular, Folder, Fifo, Socket, DeviceNode, FullDisk, LargeConfig, LargePlan };

bool makeTarget(Target target, const QString &dir, const QByteArray &path, QString &skip)
{
    const auto writeOld = [](const QByteArray &at) { return pnv::test::writeFile(QFile::decodeName(at), "old content\n"); };
    switch (target) {
    case Target::None:
        return true;
    case Target::Regular:
        return writeOld(path);
    case Target::ReadOnly:
        return writeOld(path) && ::chmod(path.constData(), 0444) == 0;
    case Target::LinkToRegular:
        return writeOld(path + ".real") && ::symlink("f.real", path.constData()) == 0;
    case Target::Folder:
        return ::mkdir(path.constData(), 0755) == 0;
    case Target::Fifo:
        return ::mkfifo(path.constData(), 0644) == 0;
    case Target::Socket: {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        return fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    case Target::DeviceNode:   // the null device, on the test's own tmpfs
        if (::mknod(path.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
            skip = QStringLiteral("mknod is not permitted here: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        return true;
    case Target::FullDisk: {
        if (!writeOld(path))
            return false;
        QFile fill(dir + QStringLiteral("/fill"));
        if (!fill.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(1024, 'z');
        while (fill.write(block) == block.size() && fill.flush()) {
        }
        return true;
    }
    case Target::LargeConfig:
        return writeOld(path) && ::truncate(path.constData(), kConfigFileLimit + 1) == 0;
    case Target::LargePlan:   // sparse: costs no space
        return writeOld(path) && ::truncate(path.constData(), kPlanFileLimit + 1) == 0;
    }
    return false;
}

// Runs `body` in a child with its own mount namespace and a 64 KiB tmpfs at
// `dir`, so a full disk and a device node cost the machine nothing. The
// child's answer comes back through a pipe; "SKIP:" starts a reason to skip.
QByteArray inSandbox(const QString &dir, const std::function<QByteArray()> &body)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return "SKIP:pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        QByteArray answer;
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        const bool root = uid == 0;
        if (::unshare(root ? CLONE_NEWNS : CLONE_NEWNS | CLONE_NEWUSER) != 0)
            answer = "SKIP:no mount namespace: " + QByteArray(std::strerror(errno));
        if (answer.isEmpty() && !root) {
            const auto put = [](const char *file, const QByteArray &text) {
                const int fd = ::open(file, O_WRONLY);
                const bool ok = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
                ::close(fd);
                return ok;
            };
            put("/proc/self/setgroups", "deny");
            if (!put("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1")
                || !put("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1"))
                answer = "SKIP:cannot map the user into the namespace";
        }
        if (answer.isEmpty()
            && (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=64k") != 0))
            answer = "SKIP:cannot mount a tmpfs: " + QByteArray(std::strerror(errno));
        if (answer.isEmpty())
            answer = body();
        const bool sent = ::write(channel[1], answer.constData(), size_t(answer.size())) == answer.size();
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    QByteArray answer;
    char buffer[4096];
    ssize_t got = 0;
    while (child > 0 && (got = ::read(channel[0], buffer, sizeof buffer)) > 0)
        answer.append(buffer, got);
    ::close(channel[0]);
    int status = 0;
    if (child > 0)
        ::waitpid(child, &status, 0);
    return answer;
}

} // namespace

void CtlFilesTest::configFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QString>("ip");   // what the file gives for ip (null: not given)
    const auto row = [](const char *name, const QByteArray &text, const QStringList &errors, const QString &ip = {}) {
        QTest::newRow(name) << text << errors << ip;
    };
    const char *nothing = "f.conf: no ip, port, gateway or mask line; there is nothing to load";

    row("whole file with comments",
        "# saved\n\nmac = 02:00:00:00:00:01\nip = 10.1.2.3\nport = 3001\ngateway = 10.1.2.254\nmask = 255.255.255.0\n", {},
        QStringLiteral("10.1.2.3"));
    row("some keys only, CRLF", "gateway=10.1.2.254\r\n", {});
    row("unknown key", "ip = 10.1.2.3\nnetmask = 255.0.0.0\n", {"f.conf:2: unknown key \"netmask\""},
        QStringLiteral("10.1.2.3"));
    row("duplicate key", "ip = 10.1.2.3\n\nip = 10.1.2.4\n", {"f.conf:3: duplicate key \"ip\" (first on line 1)"},
        QStringLiteral("10.1.2.3"));
    row("no equals sign", "# x\nip 10.1.2.3\n", {"f.conf:2: expected \"key = value\""});
    row("value syntax", "mask = 255.255.255\nport = 70000\n",
        {"f.conf:1: mask \"255.255.255\" is not a dotted address of four octets 0 to 255",
         "f.conf:2: port \"70000\" is not a number from 1 to 65535"});
    row("empty value", "ip =\n", {"f.conf:1: ip \"\" is not a dotted address of four octets 0 to 255"}, QStringLiteral(""));
    row("byte order mark", "\xEF\xBB\xBFip = 10.1.2.3\n", {}, QStringLiteral("10.1.2.3"));
    row("empty file", QByteArray(), {nothing});
    row("a plan handed to load", "Encoder;IP;Port;Gateway;Mask\n10.0.0.1;;;;\n",
        {"f.conf:1: this is an apply plan, not a saved configuration"});
    row("hostile key echoed escaped", "\x1b]0;owned\x07\x1b[2J = 1\n",
        {"f.conf:1: unknown key \"\\u001b]0;owned\\u0007\\u001b[2J\""});
    row("mac syntax", "mac = 02-00-00-00-00-01\n",
        {"f.conf:1: mac \"02-00-00-00-00-01\" is not six hexadecimal pairs joined by \":\""});
}

void CtlFilesTest::configFile()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, errors);
    QFETCH(QString, ip);
    const ConfigFileContent content = parseConfigFile(text, QStringLiteral("f.conf"));
    QCOMPARE(textsOf(content.errors), errors);
    QCOMPARE(content.fields.ip, ip);
    QCOMPARE(content.fields.ip.isNull(), ip.isNull());
}

void CtlFilesTest::savedFileReadsBack()
{
    const std::uint8_t reply[26] = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 10, 1, 2, 3, 0x0B, 0xB9, 172, 16,
                                    0,    1,    0x02, 0xBC, 10,   1,    2, 254, 255, 255, 255, 0};
    const EncoderConfig config = EncoderConfig::fromReply(reply);
    const ConfigFileContent content = parseConfigFile(formatConfigFile(config, QStringLiteral("10.1.2.3:3001")),
                                                      QStringLiteral("saved.conf"));
    QVERIFY(content.errors.isEmpty());
    QCOMPARE(content.mac, QStringLiteral("02:1A:2B:3C:4D:5E"));
    const net::ParsedFields parsed = net::parseFields(content.fields);
    QVERIFY(parsed.syntaxErrors.isEmpty());
    // What load would send is byte for byte what the encoder held.
    QVERIFY(requestFor(parsed.config) == config.record);
}

void CtlFilesTest::plan_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<int>("rows");
    const auto row = [](const char *name, const QByteArray &text, bool force, const QStringList &errors, int rows) {
        QTest::newRow(name) << text << force << errors << rows;
    };
    const QByteArray header("encoder,ip,port,gateway,mask\n");
    const QString columns = QStringLiteral("p.csv:1: the first line must name the columns encoder,ip,port,gateway,mask, in any "
                                           "order, each once; ");
    const QString badHeader = columns + QStringLiteral("\"address\" is not one of them");

    row("two rows, empty cells keep fields",
        header + "10.0.0.1,,,10.0.0.254,255.255.255.0\n10.0.0.2:4000,10.0.0.12,3001,,\n", false, {}, 2);
    row("CRLF and blanks around cells", "encoder, ip, port, gateway, mask\r\n 10.0.0.1 , , 4000 , , \r\n", false, {}, 1);
    row("a row with nothing to write", header + "10.0.0.1,,,,\n", false,
        {"p.csv:2: nothing to write: give at least one of ip, port, gateway and mask"}, 1);
    row("wrong header", "address,ip,port,gateway,mask\n10.0.0.1,,,,\n", false, {badHeader}, 0);
    row("no rows", header, false, {"p.csv:1: the plan has no rows"}, 0);
    row("cell count", header + "10.0.0.1,,,\n", false, {"p.csv:2: expected 5 cells (encoder,ip,port,gateway,mask), found 4"}, 0);
    row("bad encoder", header + "10.0.0.1:0,,,,\n", false, {"p.csv:2: encoder \"10.0.0.1:0\" is not ADDRESS[:PORT]"}, 0);
    row("same encoder twice, default port written out", header + "10.0.0.1,,4000,,\n10.0.0.1:3001,,4000,,\n", false,
        {"p.csv:3: encoder 10.0.0.1:3001 is already on line 2"}, 2);
    row("same new address twice", header + "10.0.0.1,10.0.0.50,,,\n10.0.0.2,10.0.0.50,,,\n", false,
        {"p.csv:3: new ip 10.0.0.50 is already given on line 2"}, 2);
    row("rule refused", header + "10.0.0.1,,,,255.0.255.0\n", false,
        {"p.csv:2: 10.0.0.1:3001: mask 255.0.255.0 is not contiguous"}, 1);
    row("rule skipped by --force", header + "10.0.0.1,,,,255.0.255.0\n", true, {}, 1);
    row("byte order mark, quoted cells, CRLF",
        "\xEF\xBB\xBF\"encoder\",ip,port,gateway,mask\r\n\"10.0.0.1\", \"10.0.0.9\" ,\"\",,\r\n", false, {}, 1);
    row("quoted comma and quote stay in the cell", header + "\"10.0.0.1,\"\"x\"\"\",,,,\n", false,
        {"p.csv:2: encoder \"10.0.0.1,\"x\"\" is not ADDRESS[:PORT]"}, 0);
    // A quote never spans lines: one left open would take the rows after it into one cell.
    row("a quoted cell spanning lines", header + "\"10.0.0.1\n\",,,,\n10.0.0.2,,70000,,\n", false,
        {"p.csv:2: a quoted cell opened here is not closed on its line"}, 0);
    row("quote not closed", header + "10.0.0.1,,,,\n\"10.0.0.2,,,,\n", false,
        {"p.csv:3: a quoted cell opened here is not closed on its line"}, 0);
    row("columns in any order, by name", "Mask,encoder,GATEWAY,port,ip\n255.255.255.0,10.0.0.1,10.0.0.254,,10.0.0.9\n", false,
        {}, 1);
    row("a column named twice", "encoder,ip,port,gateway,mask,ip\n", false, {columns + QStringLiteral("\"ip\" is named twice")},
        0);
    row("a column missing", "encoder,ip,port,gateway\n10.0.0.1,,,\n", false, {columns + QStringLiteral("\"mask\" is missing")}, 0);
    row("a commissioning plan's mac column is not apply's", "encoder,ip,port,gateway,mask,mac\n", false,
        {columns + QStringLiteral("\"mac\" is not one of them")}, 0);
    row("text after a closing quote", header + "\"10.0.0.1\"x,,,,\n", false, {"p.csv:2: text after a closing quote"}, 0);
    // The rows under a header that is not ours are never read: one error, not one a row.
    row("header with semicolons: one error", "encoder;ip;port;gateway;mask\n10.0.0.1;;;;\n", false,
        {columns + QStringLiteral("\"encoder;ip;port;gateway;mask\" is not one of them")}, 0);
    row("new address kept by a later row's encoder",
        header + "10.0.0.1,10.0.0.2,,,\n10.0.0.2,,,10.0.0.254,\n10.0.0.3,10.0.0.4,,,255.0.255.0\n", false,
        {"p.csv:2: new ip 10.0.0.2 is the address of encoder 10.0.0.2:3001 on line 3, which keeps it",
         "p.csv:4: 10.0.0.3:3001: mask 255.0.255.0 is not contiguous"},
        3);
    row("new address kept, written out again", header + "10.0.0.2,10.0.0.2,,,\n10.0.0.1,10.0.0.2,,,\n", false,
        {"p.csv:3: new ip 10.0.0.2 is already given on line 2"}, 2);
    row("a chain of moves, --force or not", header + "10.0.0.1,10.0.0.2,,,\n10.0.0.2,10.0.0.3,,,\n", true,
        {"p.csv:2: new ip 10.0.0.2 is the present address of encoder 10.0.0.2:3001 on line 3, which moves to 10.0.0.3; "
         "lines 2, 3 form a chain of moves; apply the one that vacates the address first, in a plan of its own"},
        2);
    row("a swap", header + "10.0.0.1,10.0.0.2,,,\n10.0.0.2,10.0.0.1,,,\n", false,
        {"p.csv:2: new ip 10.0.0.2 is the present address of encoder 10.0.0.2:3001 on line 3, which moves to 10.0.0.1; "
         "lines 2, 3 form a cycle of moves, which no order applies without two encoders on one address",
         "p.csv:3: new ip 10.0.0.1 is the present address of encoder 10.0.0.1:3001 on line 2, which moves to 10.0.0.2; "
         "lines 3, 2 form a cycle of moves, which no order applies without two encoders on one address"},
        2);
    row("a cycle of three", header + "10.0.0.1,10.0.0.2,,,\n10.0.0.2,10.0.0.3,,,\n10.0.0.3,10.0.0.1,,,\n", false,
        {"p.csv:2: new ip 10.0.0.2 is the present address of encoder 10.0.0.2:3001 on line 3, which moves to 10.0.0.3; "
         "lines 2, 3, 4 form a cycle of moves, which no order applies without two encoders on one address",
         "p.csv:3: new ip 10.0.0.3 is the present address of encoder 10.0.0.3:3001 on line 4, which moves to 10.0.0.1; "
         "lines 3, 4, 2 form a cycle of moves, which no order applies without two encoders on one address",
         "p.csv:4: new ip 10.0.0.1 is the present address of encoder 10.0.0.1:3001 on line 2, which moves to 10.0.0.2; "
         "lines 4, 2, 3 form a cycle of moves, which no order applies without two encoders on one address"},
        3);
    row("more than a million rows", header + QByteArray(1000001, 'x').replace("x", "x\n"), false,
        {"p.csv:1000002: more than 1000000 rows; refused"}, 0);
    row("syntax not skipped by --force", header + "10.0.0.1,,65536,,\n", true,
        {"p.csv:2: port \"65536\" is not a number from 1 to 65535"}, 0);
}

void CtlFilesTest::plan()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, force);
    QFETCH(QStringList, errors);
    QFETCH(int, rows);
    const Plan plan = parsePlan(text, QStringLiteral("p.csv"), force);
    QCOMPARE(textsOf(plan.errors), errors);
    QCOMPARE(int(plan.rows.size()), rows);
    if (QByteArray(QTest::currentDataTag()).startsWith("columns in any order")) {
        QCOMPARE(plan.rows[0].encoder.host, QStringLiteral("10.0.0.1"));
        QCOMPARE(plan.rows[0].fields.ip, QStringLiteral("10.0.0.9"));
        QCOMPARE(plan.rows[0].fields.gateway, QStringLiteral("10.0.0.254"));
        QCOMPARE(plan.rows[0].fields.port.isNull(), true);
    }
    if (QByteArray(QTest::currentDataTag()).startsWith("two rows")) {
        QCOMPARE(plan.rows[0].change.ip.has_value(), false);
        QCOMPARE(plan.rows[1].encoder.port, 4000);
        QCOMPARE(plan.rows[1].fields.mask.isNull(), true);
    }
}

void CtlFilesTest::fileKinds_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("plan");
    QTest::newRow("plan") << QByteArray("encoder,ip,port,gateway,mask\n") << true;
    QTest::newRow("plan after blank lines, BOM, CRLF") << QByteArray("\xEF\xBB\xBF\r\n\r\nencoder,ip,port,gateway,mask\r\n") << true;
    QTest::newRow("plan header quoted") << QByteArray("\"encoder\",\"ip\",port,gateway,mask\n") << true;
    QTest::newRow("plan header, wrong case and separators") << QByteArray(" Encoder ; IP;Port;Gateway;Mask\n") << true;
    QTest::newRow("a commissioning plan, columns in any order") << QByteArray("mask,ip,port,gateway\n") << true;
    QTest::newRow("configuration") << QByteArray("# saved\nip = 10.0.0.1\n") << false;
    QTest::newRow("configuration with an encoder key") << QByteArray("encoder = 10.0.0.1\n") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void CtlFilesTest::fileKinds()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, plan);
    QCOMPARE(fileKind(text) == FileKind::Plan, plan);
}

void CtlFilesTest::configRules()
{
    // A rule error names the line of the field it is about; one about a
    // field not in the file names the file alone.
    const ConfigFileContent content = parseConfigFile("ip = 10.1.2.3\n# x\nmask = 255.0.255.0\ngateway = 10.1.2.3\n",
                                                      QStringLiteral("f.conf"));
    QVERIFY(content.errors.isEmpty());
    QCOMPARE(textsOf(configRuleErrors(content, QStringLiteral("f.conf"))),
             (QStringList{QStringLiteral("f.conf:3: mask 255.0.255.0 is not contiguous"),
                          QStringLiteral("f.conf:4: gateway 10.1.2.3 is the ip itself")}));
}

void CtlFilesTest::files_data()
{
    QTest::addColumn<bool>("write");             // replaceFile, else readInputFile
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");          // a part of the message
    QTest::addColumn<QByteArray>("contentAfter"); // what f holds afterwards (through a link too)

    const QByteArray old("old content\n");
    const QByteArray fresh(8192, 'n');
    const auto row = [&](const char *name, bool write, Target target, FileResult::Status status, const char *error,
                         const QByteArray &after) {
        QTest::newRow(name) << write << int(target) << int(status) << QString::fromLatin1(error) << after;
    };
    using S = FileResult::Status;
    row("write: new file", true, Target::None, S::Ok, "", fresh);
    row("write: regular file replaced", true, Target::Regular, S::Ok, "", fresh);
    row("write: a link's target replaced, the link kept", true, Target::LinkToRegular, S::Ok, "", fresh);
    row("write: full disk keeps the old file", true, Target::FullDisk, S::Failed, "No space left on device", old);
    row("write: a read-only file refused", true, Target::ReadOnly, S::Refused, "it is read-only", old);
    row("write: folder refused", true, Target::Folder, S::Refused, "it is a folder; only a regular file is replaced", {});
    row("write: FIFO refused", true, Target::Fifo, S::Refused, "it is a FIFO; only a regular file is replaced", {});
    row("write: socket refused", true, Target::Socket, S::Refused, "it is a socket", {});
    row("write: device node refused", true, Target::DeviceNode, S::Refused, "it is a character device", {});
    row("read: regular file", false, Target::Regular, S::Ok, "", old);
    row("read: through a link", false, Target::LinkToRegular, S::Ok, "", old);
    row("read: missing", false, Target::None, S::Refused, "No such file or directory", {});
    row("read: FIFO refused at once", false, Target::Fifo, S::Refused, "it is a FIFO; only a regular file is read", {});
    row("read: folder refused", false, Target::Folder, S::Refused, "it is a folder", {});
    row("read: device node refused", false, Target::DeviceNode, S::Refused, "it is a character device", {});
    row("read: configuration over 64 KiB", false, Target::LargeConfig, S::Refused, "is larger than 64 KiB (65537 bytes)", {});
    row("read: plan over 64 MiB", false, Target::LargePlan, S::Refused, "is larger than 64 MiB (67108865 bytes)", {});
}

void CtlFilesTest::files()
{
    QFETCH(bool, write);
    QFETCH(int, target);
    QFETCH(int, status);
    QFETCH(QString, error);
    QFETCH(QByteArray, contentAfter);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("f"));
    const QByteArray answer = inSandbox(dir.path(), [&]() -> QByteArray {
        QString skip;
        if (!makeTarget(Target(target), dir.path(), QFile::encodeName(path), skip))
            return "SKIP:" + (skip.isEmpty() ? QByteArray("cannot make the target") : skip.toUtf8());
        const FileResult result = write ? replaceFile(path, QByteArray(8192, 'n'))
                                        : readInputFile(path, Target(target) == Target::LargePlan ? kPlanFileLimit
                                                                                                  : kConfigFileLimit,
                                                        false);
        const QByteArray after = write ? readInputFile(path, kConfigFileLimit, false).data : result.data;
        // Whatever happened, no temporary file is left behind.
        const QStringList left = QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
        return QByteArray::number(int(result.status)) + '\n' + result.error.toUtf8() + '\n'
               + left.join(u' ').toUtf8() + '\n' + QByteArray::number(QFileInfo(path).isSymLink()) + '\n' + after;
    });
    if (answer.startsWith("SKIP:"))
        QSKIP(answer.constData());
    const QList<QByteArray> parts = answer.split('\n');
    QVERIFY2(parts.size() >= 5, answer.constData());
    QCOMPARE(parts[0].toInt(), status);
    QVERIFY2(QString::fromUtf8(parts[1]).contains(error), parts[1].constData());
    QVERIFY2(!parts[2].contains(".pnv3400ctl-"), parts[2].constData());
    QCOMPARE(parts[3] == "1", Target(target) == Target::LinkToRegular);
    if (!contentAfter.isNull())
        QCOMPARE(answer.mid(parts[0].size() + parts[1].size() + parts[2].size() + parts[3].size() + 4), contentAfter);
}

void CtlFilesTest::addressInUse_data()
{
    QTest::addColumn<bool>("listening");   // a plain listener on the port, as the device in the way
    QTest::addColumn<QString>("reason");   // how the probe says what answered
    QTest::newRow("listener on loopback") << true << "127.0.0.1 accepts connections on port";
    QTest::newRow("loopback, port closed: the host answers") << false << "127.0.0.1 ";
}

void CtlFilesTest::addressInUse()
{
    QFETCH(bool, listening);
    QFETCH(QString, reason);
    // A port of our own: bound, and listening only when the row says so.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0);
    QVERIFY(::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size) == 0);
    const std::uint16_t port = ntohs(at.sin_port);
    if (listening)
        QVERIFY(::listen(fd, 4) == 0);
    else
        ::close(fd);
    const net::AddressProbe probe = net::probeAddress(INADDR_LOOPBACK, port);
    if (listening)
        ::close(fd);
    QVERIFY2(probe.skipped.filter(QRegularExpression(QStringLiteral("^tcp"))).isEmpty(), qPrintable(probe.skipped.join(u' ')));
    QVERIFY(probe.answered);
    QVERIFY2(probe.reason.startsWith(reason), qPrintable(probe.reason));
}

// With no route to the address, the TCP half of the in-use check cannot run:
// said by name, never taken for "nothing answers".
void CtlFilesTest::addressWithoutRouteIsNamed()
{
    PNV_REQUIRE_SEALED_NETWORK();   // its one device is loopback: 10.250.0.1 has no route at all
    const net::AddressProbe probe = net::probeAddress(*net::parseDotted(u"10.250.0.1"), 3001);
    QVERIFY(!probe.answered);
    QVERIFY2(probe.skipped.contains(QStringLiteral("tcp: no route to 10.250.0.1 (ENETUNREACH: Network is unreachable)")),
             qPrintable(probe.skipped.join(u'|')));
}

void CtlFilesTest::reach_data()
{
    QTest::addColumn<QString>("encoder");
    // "name=address/prefix", or "name" alone for an interface without IPv4, each maybe with "-down",
    // "-nocarrier" and "-uplink" (it carries the default route, as the route's interface with "*" does);
    // blank separated; lo is loopback
    QTest::addColumn<QString>("interfaces");
    QTest::addColumn<QString>("route");        // the interface the kernel would use, "*" after it when by the default route
    QTest::addColumn<QString>("inSubnet");
    QTest::addColumn<QString>("suggestion");
    QTest::addColumn<QString>("said");         // a part of the notes or the refusal; "" for none at all
    // With it, the neighbour addresses are probed: those listed answer ("*": all), and "noarp" makes every
    // probe say it ran without ARP. A stand-in for a link, where the real probe needs a namespace and a peer.
    QTest::addColumn<QString>("answering");
    const auto row = [](const char *name, const char *encoder, const char *interfaces, const char *route,
                        const char *inSubnet, const char *suggestion, const char *said = "", const char *answering = nullptr) {
        QTest::newRow(name) << encoder << interfaces << route << inSubnet << suggestion << said << QString::fromLatin1(answering);
    };
    row("an interface next to the encoder", "172.16.30.1", "lo=127.0.0.1/8 eth0=172.16.5.5/16", "eth0", "eth0", "");
    row("none next to the factory address", "172.16.30.1", "lo=127.0.0.1/8 eth0=192.168.1.5/24", "eth0*", "",
        "ip addr add 172.16.30.2/16 dev eth0");
    row("a route of its own: that interface is named", "10.1.2.3", "eth0=192.168.1.5/24 eth1=10.9.9.9/24", "eth1", "",
        "ip addr add 10.1.2.4/24 dev eth1");
    row("a NIC up without IPv4 is named", "172.16.30.1", "lo=127.0.0.1/8 wlan0=192.168.1.5/24 eth0", "wlan0*", "",
        "ip addr add 172.16.30.2/16 dev eth0");
    row("uplink and a second NIC: not the uplink", "172.16.30.1", "wlan0=192.168.1.5/24 eth1=10.9.9.9/24", "wlan0*", "",
        "ip addr add 172.16.30.2/16 dev eth1");
    row("the NIC holding the address is down: bring it up", "172.16.30.1", "eth0=172.16.0.9/16-down wlan0=10.0.0.5/24",
        "wlan0*", "", "ip link set eth0 up", "eth0 holds 172.16.0.9/16, which contains 172.16.30.1, but is down");
    row("no carrier is said", "172.16.30.1", "eth0=172.16.0.9/16-nocarrier", "eth0", "eth0", "",
        "eth0 has no carrier");
    row("two NICs on the subnet: the route's is said", "10.1.2.3", "eth0=10.1.2.10/24 eth1=10.1.2.11/24", "eth1",
        "eth0 eth1", "", "2 interfaces hold an address in a subnet containing 10.1.2.3 (eth0, eth1); the route takes eth1");
    row("the neighbour address is one nobody here holds", "10.1.2.3", "eth0 wlan0=10.1.2.4/32", "wlan0*", "",
        "ip addr add 10.1.2.2/24 dev eth0");
    row("next to the broadcast address, the one below", "10.1.2.254", "lo=127.0.0.1/8", "", "",
        "ip addr add 10.1.2.253/24 dev DEVICE");
    row("the encoder's own address on loopback", "172.16.30.1", "lo=127.0.0.1/8 lo=172.16.30.1/32", "lo", "lo", "");
    row("multicast refused", "224.0.0.6", "eth0=10.0.0.5/24", "eth0*", "", "", "224.0.0.6 is a multicast address");
    // The uplink is the way out, never the cable to an encoder while another NIC could be.
    row("a NIC that is down: bring it up, nothing on the uplink", "172.16.30.1", "lo=127.0.0.1/8 wlan0=192.168.1.5/24 eth0-down",
        "wlan0*", "", "ip link set eth0 up", "eth0 is down; once it is up, doctor says what it needs next");
    row("the uplink holds the factory subnet: a route of its own over the other NIC", "172.16.30.1",
        "wlan0=172.16.5.5/16-uplink eth0", "wlan0", "wlan0", "ip route add 172.16.30.1/32 dev eth0",
        "wlan0, the uplink (it carries the default route), holds 172.16.5.5/16, which contains 172.16.30.1: the encoder is "
        "looked for on the uplink's network, not on eth0");
    row("the uplink holds the factory subnet and is the only NIC: said", "172.16.30.1", "wlan0=172.16.5.5/16-uplink",
        "wlan0", "wlan0", "", "if it is not there, cable it to a NIC of its own");
    row("this computer holds the encoder's address itself", "172.16.30.1", "lo=127.0.0.1/8 eth0=172.16.30.1/16", "lo",
        "eth0", "ip addr del 172.16.30.1/16 dev eth0", "this computer holds 172.16.30.1 itself, on eth0");
    row("0.x refused", "0.1.2.3", "eth0=10.0.0.5/24", "", "", "", "0.1.2.3 is in 0.0.0.0/8");
    row("the broadcast address refused", "255.255.255.255", "eth0=10.0.0.5/24", "eth0", "", "", "240.0.0.0/4");
    row("a subnet's broadcast address refused", "10.1.2.255", "eth0=10.1.2.5/24", "eth0", "", "",
        "10.1.2.255 is the broadcast address of 10.1.2.0/24");
    row("the first neighbour answers: the next", "10.1.2.3", "eth0", "", "", "ip addr add 10.1.2.2/24 dev eth0",
        "10.1.2.4 answers ARP on eth0 (MAC 02:00:00:00:00:01), so it is not suggested", "10.1.2.4");
    row("every neighbour tried answers: the next, unchecked", "10.1.2.3", "eth0", "", "", "ip addr add 10.1.2.10/24 dev eth0",
        "the first 8 neighbour addresses answer on eth0; 10.1.2.10 was not checked", "*");
    row("a probe without ARP says so", "10.1.2.3", "eth0", "", "", "ip addr add 10.1.2.4/24 dev eth0",
        "whether 10.1.2.4 is free on eth0 was checked without arp: no packet socket", "noarp");
}

void CtlFilesTest::reach()
{
    QFETCH(QString, encoder);
    QFETCH(QString, interfaces);
    QFETCH(QString, route);
    QFETCH(QString, inSubnet);
    QFETCH(QString, suggestion);
    QFETCH(QString, said);
    QFETCH(QString, answering);
    std::vector<net::InterfaceAddress> addresses;
    std::vector<net::Link> links;
    for (const QString &item : interfaces.split(u' ')) {
        const QString name = item.section(u'=', 0, 0).section(u'-', 0, 0);
        const bool up = !item.contains(QLatin1String("-down"));
        const bool uplink = item.contains(QLatin1String("-uplink")) || (route.endsWith(u'*') && route.chopped(1) == name);
        if (std::none_of(links.begin(), links.end(), [&name](const net::Link &l) { return l.interface == name; }))
            links.push_back({name, up, !item.contains(QLatin1String("-nocarrier")), name == QLatin1String("lo"), uplink});
        if (!item.contains(u'='))
            continue;
        net::InterfaceAddress address;
        address.interface = name;
        address.address = *net::parseDotted(item.section(u'=', 1).section(u'/', 0, 0));
        address.prefix = item.section(u'/', 1).section(u'-', 0, 0).toInt();
        address.up = up;
        address.loopback = name == QLatin1String("lo");
        addresses.push_back(address);
    }
    std::optional<net::Route> routed;
    if (!route.isEmpty())
        routed = net::Route{QString(route).remove(u'*'), 0, route.endsWith(u'*')};
    net::NeighbourProbe probe;
    if (!answering.isNull())
        probe = [answering](std::uint32_t address, const QString &interface) {
            net::AddressProbe answer;
            const QString text = net::formatDotted(address);
            answer.answered = answering == u'*' || answering.split(u' ').contains(text);
            if (answer.answered)
                answer.reason = QStringLiteral("%1 answers ARP on %2 (MAC 02:00:00:00:00:01)").arg(text, interface);
            if (answering == QLatin1String("noarp"))
                answer.skipped << QStringLiteral("arp: no packet socket for this user");
            return answer;
        };
    const net::Reach reach = net::judgeReach(*net::parseDotted(encoder), routed, addresses, links, probe);
    QStringList holders;
    for (const net::InterfaceAddress &holder : reach.inSubnet)
        holders << holder.interface;
    QCOMPARE(holders.join(u' '), inSubnet);
    QCOMPARE(reach.suggestion, suggestion);
    const QString told = (reach.notes + QStringList{reach.refusal}).join(u'|');
    QVERIFY2(said.isEmpty() ? told.isEmpty() : told.contains(said), qPrintable(told));
}

QTEST_GUILESS_MAIN(CtlFilesTest)
#include "tst_ctlfiles.moc"
