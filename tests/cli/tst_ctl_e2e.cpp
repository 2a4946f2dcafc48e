// pnv3400ctl end to end: the real program, the real device library and the
// real simulator, each a process. One encoder listens on 127.0.0.1; the fleet
// cases put twenty encoders on 10.77.0.1 to .20, which exist only inside the
// sealed network namespace, and skip anywhere else.

#include "CtlProcess.h"
#include "SealedNetwork.h"
#include "SimulatorProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using pnv::test::SimulatorProcess;

namespace {

using Run = pnv::test::CtlRun;
using pnv::test::ctlPath;
using pnv::test::runCtl;
using pnv::test::runProgram;
using pnv::test::writeFile;

// COUNT encoders from FIRST on, on port 3001; the sealed namespace only.
SimulatorProcess::Options fleetOf(const char *first, int count, const QStringList &faults = {})
{
    SimulatorProcess::Options options;
    options.listen = QLatin1String(first);
    options.fleet = count;
    options.faults = faults;
    return options;
}

int countOf(const QByteArray &text, const char *what) { return int(text.count(what)); }

// COUNT factory-reset encoders one after another at the factory address; the sealed namespace only.
SimulatorProcess::Options batchOf(int count, const QStringList &faults = {})
{
    SimulatorProcess::Options options;
    options.listen = QStringLiteral("172.16.30.1");
    options.batch = count;
    options.faults = faults;
    options.extraArguments = {QStringLiteral("--swap-ms"), QStringLiteral("50")};
    return options;
}

// The ip of a commissioning plan's row, from 1.
QString rowIp(int row) { return QStringLiteral("10.78.0.%1").arg(10 + row); }

// ROWS rows for 10.78.0.0/24; `macs` fills a mac column, row by row.
QByteArray commissionPlan(int rows, const QStringList &macs = {})
{
    QByteArray plan = macs.isEmpty() ? "ip,port,gateway,mask\n" : "ip,port,gateway,mask,mac\n";
    for (int row = 1; row <= rows; ++row)
        plan += (rowIp(row) + QStringLiteral(",3001,10.78.0.1,255.255.255.0")
                 + (macs.isEmpty() ? QString() : u',' + macs.value(row - 1)) + u'\n')
                    .toUtf8();
    return plan;
}

// The journal's lines after its header, as (mac, row, outcome).
QList<QStringList> journalOf(const QString &path)
{
    QList<QStringList> lines;
    const QList<QByteArray> text = pnv::test::readFile(path).split('\n');
    for (qsizetype i = 1; i < text.size(); ++i)
        if (const QStringList cells = QString::fromUtf8(text[i]).split(u','); cells.size() >= 9)
            lines << QStringList{cells[1], cells[2], cells[7]};
    return lines;
}

// The events of a commission run with --json that are `event`, as "MAC row".
QStringList eventsOf(const QList<QJsonObject> &lines, const char *event)
{
    QStringList found;
    for (const QJsonObject &line : lines)
        if (line.value(QStringLiteral("event")).toString() == QLatin1String(event))
            found << QStringLiteral("%1 %2").arg(line.value(QStringLiteral("mac")).toString()).arg(line.value(QStringLiteral("row")).toInt());
    return found;
}

// The rows of a section of `pnv3400ctl --help` that match `row`: the lines
// after the section's title up to the next blank line.
QList<QRegularExpressionMatch> helpRows(const QString &help, const QString &title, const QRegularExpression &row)
{
    QList<QRegularExpressionMatch> rows;
    const QStringList lines = help.split(u'\n');
    for (qsizetype i = lines.indexOf(title) + 1; i > 0 && i < lines.size() && !lines[i].isEmpty(); ++i)
        if (const auto match = row.match(lines[i]); match.hasMatch())
            rows << match;
    return rows;
}

// The tagged paragraphs (.TP) of a manual page's section, tag to text, with
// the fonts and escapes taken out.
QMap<QString, QString> manEntries(const QString &page, const QString &section)
{
    static const QRegularExpression markup(QStringLiteral("^\\.[A-Z]+ ?|\\\\f[BIRP]|\""));
    const auto plain = [](QString line) { return line.remove(markup).replace(QStringLiteral("\\-"), QStringLiteral("-")).simplified(); };
    QMap<QString, QString> entries;
    QString tag, current;
    const QStringList lines = page.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(QLatin1String(".SH ")))
            current = lines[i].mid(4);
        else if (current != section)
            continue;
        else if (lines[i] == QLatin1String(".TP") && i + 1 < lines.size())
            entries[tag = plain(lines[++i])];
        else if (lines[i] == QLatin1String(".PP"))
            tag.clear();
        else if (!tag.isEmpty())
            entries[tag] += plain(lines[i]) + u' ';
    }
    return entries;
}

} // namespace

class CtlEndToEndTest final : public QObject {
    Q_OBJECT

private slots:
    void readTextAndJson();
    void writeThenSameWriteAgain();
    void ruleRefusalSendsNothing();
    void emptyTargetIsAUsageError_data();
    void emptyTargetIsAUsageError();
    void encoderOutcomes_data();
    void encoderOutcomes();
    void saveThenLoad();
    void unboundLibrary();
    void filesAndArguments_data();
    void filesAndArguments();
    void saveThroughALink_data();
    void saveThroughALink();
    void newAddressInUseAndDoctor();
    void doctorOnVethPairs_data();
    void doctorOnVethPairs();
    void interruptBeforeTheWrite();
    void fleetApplyAndScan();
    void interruptFinishesRunningRows_data();
    void interruptFinishesRunningRows();
    void killedApplyEndsItsWorkers();
    void applyEndsWithTheProcessThatNamedIt();
    void lostOutputStartsNoNewRow_data();
    void lostOutputStartsNoNewRow();
    void commissionFiveEncoders();
    void commissionInterruptedAndResumed();
    void commissionFailedWriteAndMacColumn();
    void commissionEndsOnSignals_data();
    void commissionEndsOnSignals();
    void commissionAloneOnTheBench();
    void commissionNamesANonEncoder_data();
    void commissionNamesANonEncoder();
    void manPageAgreesWithHelp();

private:
    QStringList at(const SimulatorProcess &sim) const
    {
        return {QStringLiteral("--encoder"), QStringLiteral("127.0.0.1:%1").arg(sim.port())};
    }
};

void CtlEndToEndTest::readTextAndJson()
{
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));

    const Run text = runCtl(at(sim) << QStringLiteral("read"));
    QCOMPARE(text.exitCode, 0);
    const QStringList lines = QString::fromUtf8(text.out).trimmed().split(u'\n');
    QCOMPARE(lines.size(), 5);
    QVERIFY2(QRegularExpression(QStringLiteral("^mac ([0-9A-F]{2}:){5}[0-9A-F]{2}$")).match(lines[0]).hasMatch(),
             qPrintable(lines[0]));
    QCOMPARE(lines.mid(1), (QStringList{QStringLiteral("ip 172.16.30.1"), QStringLiteral("port 3001"),
                                        QStringLiteral("gateway 172.16.0.1"), QStringLiteral("mask 255.255.0.0")}));

    const Run json = runCtl(at(sim) << QStringLiteral("--json") << QStringLiteral("read"));
    QCOMPARE(json.exitCode, 0);
    const QJsonObject object = json.json();
    QStringList keys = object.keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{QStringLiteral("encoder"), QStringLiteral("gateway"), QStringLiteral("ip"),
                                QStringLiteral("mac"), QStringLiteral("mask"), QStringLiteral("port"),
                                QStringLiteral("prefix")}));
    QCOMPARE(object.value(QStringLiteral("encoder")).toString(), QStringLiteral("127.0.0.1:%1").arg(sim.port()));
    QCOMPARE(object.value(QStringLiteral("port")).type(), QJsonValue::Double);
    QCOMPARE(object.value(QStringLiteral("port")).toInt(), 3001);
    QCOMPARE(object.value(QStringLiteral("prefix")).toInt(), 16);
    QCOMPARE(object.value(QStringLiteral("mac")).toString(), lines[0].mid(4));
}

void CtlEndToEndTest::writeThenSameWriteAgain()
{
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const QStringList write = at(sim) << QStringLiteral("--json") << QStringLiteral("write") << QStringLiteral("--gateway")
                                      << QStringLiteral("172.16.0.254");

    // WHEN the gateway changes THEN it is written, read back and stored
    const Run first = runCtl(write);
    QCOMPARE(first.exitCode, 0);
    const QJsonObject applied = first.json();
    QCOMPARE(applied.value(QStringLiteral("outcome")).toString(), QStringLiteral("applied"));
    QCOMPARE(applied.value(QStringLiteral("changed")).toBool(), true);
    QCOMPARE(applied.value(QStringLiteral("before")).toObject().value(QStringLiteral("gateway")).toString(),
             QStringLiteral("172.16.0.1"));
    QCOMPARE(applied.value(QStringLiteral("after")).toObject().value(QStringLiteral("gateway")).toString(),
             QStringLiteral("172.16.0.254"));
    QCOMPARE(sim.stateValue(QStringLiteral("gateway")), QStringLiteral("172.16.0.254"));
    QCOMPARE(countOf(sim.log(), "WRITE"), 1);

    // WHEN the same write runs again THEN nothing is written
    const Run second = runCtl(write);
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(second.json().value(QStringLiteral("outcome")).toString(), QStringLiteral("unchanged"));
    QCOMPARE(second.json().value(QStringLiteral("changed")).toBool(), false);
    QCOMPARE(countOf(sim.log(), "WRITE"), 1);

    // A dry run that would change something says so and writes nothing.
    const Run dry = runCtl(at(sim) << QStringLiteral("--json") << QStringLiteral("write") << QStringLiteral("--port")
                                   << QStringLiteral("4000") << QStringLiteral("--dry-run"));
    QCOMPARE(dry.exitCode, 0);
    QCOMPARE(dry.json().value(QStringLiteral("outcome")).toString(), QStringLiteral("dry-run"));
    QCOMPARE(dry.json().value(QStringLiteral("changed")).toBool(), true);
    QCOMPARE(dry.json().value(QStringLiteral("after")).toObject().value(QStringLiteral("port")).toInt(), 4000);
    QCOMPARE(countOf(sim.log(), "WRITE"), 1);
}

void CtlEndToEndTest::ruleRefusalSendsNothing()
{
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const Run run = runCtl(at(sim) << QStringLiteral("write") << QStringLiteral("--mask") << QStringLiteral("255.0.255.0"));
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.err, QByteArray("pnv3400ctl: mask 255.0.255.0 is not contiguous\n"));
    QCOMPARE(countOf(sim.log(), "connected"), 0);

    // --force skips the rule, and the encoder's own check refuses the record.
    const Run forced = runCtl(at(sim) << QStringLiteral("--json") << QStringLiteral("write") << QStringLiteral("--mask")
                                      << QStringLiteral("255.0.255.0") << QStringLiteral("--force"));
    QCOMPARE(forced.exitCode, 1);
    QCOMPARE(forced.json().value(QStringLiteral("outcome")).toString(), QStringLiteral("rejected"));
    QCOMPARE(sim.stateValue(QStringLiteral("mask")), QStringLiteral("255.255.0.0"));
}

void CtlEndToEndTest::encoderOutcomes_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("afterGateway");   // empty: no read-back
    QTest::newRow("encoder answers status 4") << "write-status:4" << "rejected" << 4 << "172.16.0.1";
    QTest::newRow("encoder answers status 9") << "write-status:9" << "rejected" << 9 << "172.16.0.1";
    // The library turns a differing echo into 4 itself; what the encoder holds is read back.
    QTest::newRow("echo differs") << "verify-fail" << "rejected" << 4 << "172.16.0.1";
    QTest::newRow("acknowledged, not stored") << "lose-write" << "not-applied" << 0 << "172.16.0.1";
    QTest::newRow("no answer") << "delay:1000" << "failed" << 2 << "";
}

void CtlEndToEndTest::encoderOutcomes()
{
    QFETCH(QString, fault);
    QFETCH(QString, outcome);
    QFETCH(int, code);
    QFETCH(QString, afterGateway);
    SimulatorProcess::Options options;
    options.faults << fault;
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const auto environment = pnv::test::environmentWith(QStringLiteral("TESSALIN_TIMEOUT_MS"), QStringLiteral("300"));
    const Run run = runCtl(at(sim) << QStringLiteral("--json") << QStringLiteral("write") << QStringLiteral("--gateway")
                                   << QStringLiteral("172.16.0.254"),
                           environment);
    QCOMPARE(run.exitCode, 1);
    const QJsonObject report = run.json();
    QCOMPARE(report.value(QStringLiteral("outcome")).toString(), outcome);
    QCOMPARE(report.value(QStringLiteral("changed")).toBool(), false);
    QCOMPARE(report.value(QStringLiteral("code")).toInt(), code);
    QCOMPARE(report.value(QStringLiteral("after")).toObject().value(QStringLiteral("gateway")).toString(), afterGateway);
    QCOMPARE(sim.stateValue(QStringLiteral("gateway")), QStringLiteral("172.16.0.1"));

    // The text form names the outcome on stderr with the same exit code.
    SimulatorProcess again(options);
    QVERIFY2(again.start(), qPrintable(again.errorString()));
    const Run text = runCtl(QStringList{QStringLiteral("--encoder"), QStringLiteral("127.0.0.1:%1").arg(again.port()),
                                        QStringLiteral("write"), QStringLiteral("--gateway"), QStringLiteral("172.16.0.254")},
                            environment);
    QCOMPARE(text.exitCode, 1);
    QVERIFY2(text.err.contains(QStringLiteral(": %1: ").arg(outcome).toUtf8()), text.err.constData());
    QVERIFY(text.out.isEmpty());
}

void CtlEndToEndTest::saveThenLoad()
{
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QTemporaryDir dir;
    const QString saved = dir.filePath(QStringLiteral("encoder.conf"));

    QCOMPARE(runCtl(at(sim) << QStringLiteral("save") << saved).exitCode, 0);
    QCOMPARE(runCtl(at(sim) << QStringLiteral("write") << QStringLiteral("--gateway") << QStringLiteral("172.16.20.9")
                            << QStringLiteral("--mask") << QStringLiteral("255.255.240.0"))
                 .exitCode,
             0);
    QCOMPARE(sim.stateValue(QStringLiteral("mask")), QStringLiteral("255.255.240.0"));

    const Run load = runCtl(at(sim) << QStringLiteral("--json") << QStringLiteral("load") << saved);
    QCOMPARE(load.exitCode, 0);
    QCOMPARE(load.json().value(QStringLiteral("outcome")).toString(), QStringLiteral("applied"));
    QCOMPARE(sim.stateValue(QStringLiteral("mask")), QStringLiteral("255.255.0.0"));
    QCOMPARE(sim.stateValue(QStringLiteral("gateway")), QStringLiteral("172.16.0.1"));

    // A damaged file is refused whole, before any connection.
    QFile file(saved);
    QVERIFY(file.open(QIODevice::Append));
    file.write("colour = blue\n");
    file.close();
    const int connectionsBefore = countOf(sim.log(), "connected");
    const Run refused = runCtl(at(sim) << QStringLiteral("load") << saved);
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains(":8: unknown key \"colour\""), refused.err.constData());
    QCOMPARE(countOf(sim.log(), "connected"), connectionsBefore);
}

void CtlEndToEndTest::unboundLibrary()
{
    const Run run = runCtl({QStringLiteral("--library"), QStringLiteral("/nonexistent/libtessalin.so"),
                            QStringLiteral("--encoder"), QStringLiteral("127.0.0.1:9"), QStringLiteral("read")});
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.contains("/nonexistent/libtessalin.so"), run.err.constData());
}

void CtlEndToEndTest::filesAndArguments_data()
{
    // F in the arguments is the file of the row: `content` as a regular file,
    // or a FIFO when `fifo`; P is the simulator's port.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("fifo");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("err");   // a part of stderr ("" for none at all)
    QTest::addColumn<QByteArray>("out");   // a part of stdout; @F@ and @P@ stand for the file and the port
    QTest::addColumn<QString>("redirect");   // the shell's redirections of the standard streams, if any
    const auto row = [](const QString &name, const QStringList &arguments, const QByteArray &content, bool fifo,
                        int exitCode, const char *err, const char *out = "", const char *redirect = "") {
        QTest::newRow(qPrintable(name)) << arguments << content << fifo << exitCode << QByteArray(err) << QByteArray(out)
                                        << QString::fromLatin1(redirect);
    };
    const QByteArray plan("\xEF\xBB\xBF\"encoder\",ip,port,gateway,mask\r\n\"10.0.0.1\",\"10.0.0.2\",,,\r\n10.0.0.2,,4000,,\r\n");
    for (const char *command : {"check", "load", "apply"})
        row(QStringLiteral("%1 of a FIFO does not wait").arg(QLatin1String(command)), {command, "F"}, {}, true, 2, "it is a FIFO");
    row("check --json of a FIFO says so in JSON", {"--json", "check", "F"}, {}, true, 2, "it is a FIFO",
        "{\"errors\":[{\"encoder\":null,\"error\":\"");
    // Every error in JSON is an object, placed as far as it is known.
    row("check --json of a configuration: the error's line and field", {"--json", "check", "F"}, "# x\nmask = 255.0.255.0\n",
        false, 2, "F:2: mask",
        "{\"errors\":[{\"encoder\":null,\"error\":\"mask 255.0.255.0 is not contiguous\",\"field\":\"mask\",\"file\":\"@F@\","
        "\"line\":2}],\"valid\":false}");
    row("check --json of a plan: the row's encoder, line and field", {"--json", "check", "F"}, plan, false, 2, ":2: new ip",
        "{\"errors\":[{\"encoder\":\"10.0.0.1\",\"error\":\"new ip 10.0.0.2 is the address of encoder 10.0.0.2:3001 on line 3, "
        "which keeps it\",\"field\":\"ip\",\"file\":\"@F@\",\"line\":2}],\"valid\":false}");
    row("check --json of fields: the field", {"--json", "check", "--port", "0", "--ip", "10.0.0.x"}, {}, false, 2, "10.0.0.x",
        "{\"errors\":[{\"encoder\":null,\"error\":\"ip \\\"10.0.0.x\\\" is not a dotted address of four octets 0 to 255\","
        "\"field\":\"ip\",\"file\":null,\"line\":null}],");
    row("load --json: the refusal's encoder, line and field", {"--json", "load", "F"}, "# x\nmask = 255.0.255.0\n", false, 2,
        "F:2: mask",
        "\"errors\":[{\"encoder\":\"127.0.0.1:@P@\",\"error\":\"mask 255.0.255.0 is not contiguous\",\"field\":\"mask\","
        "\"file\":\"@F@\",\"line\":2}]");
    row("write --json: a syntax error's encoder and field", {"--json", "write", "--port", "x"}, {}, false, 2, "port \"x\"",
        "\"errors\":[{\"encoder\":\"127.0.0.1:@P@\",\"error\":\"port \\\"x\\\" is not a number from 1 to 65535\","
        "\"field\":\"port\",\"file\":null,\"line\":null}]");
    row("apply --json: a row invalid after its read is placed at its line", {"--json", "apply", "F"},
        "encoder,ip,port,gateway,mask\n127.0.0.1:P,,,10.9.9.9,\n", false, 2, "",
        "\"field\":\"gateway\",\"file\":\"@F@\",\"line\":2}]");
    row("commission --json: a refused plan's line and field", {"--json", "commission", "F"},
        "ip,port,gateway,mask\n10.0.0.2,,0.0.0.0,255.255.255.0\n10.0.0.2,,0.0.0.0,255.255.255.0\n", false, 2, "F:3: ip",
        "{\"error\":\"usage\",\"errors\":[{\"encoder\":null,\"error\":\"ip 10.0.0.2 is already given to row 1\","
        "\"field\":\"ip\",\"file\":\"@F@\",\"line\":3}],\"exit\":2}");
    row("save --json over a FIFO: the refusal as an object", {"--json", "save", "F"}, {}, true, 2, "will not replace",
        "{\"error\":\"usage\",\"errors\":[{\"encoder\":null,\"error\":\"will not replace");
    row("save over a FIFO refused", {"save", "F"}, {}, true, 2, "will not replace");
    row("save - writes to stdout", {"save", "-"}, {}, false, 0, "", "\nip = 172.16.30.1\n");
    for (const char *command : {"check", "apply"})
        row(QStringLiteral("%1: quoted plan with a BOM, new ip kept by another").arg(QLatin1String(command)), {command, "F"}, plan, false, 2,
            ":2: new ip 10.0.0.2 is the address of encoder 10.0.0.2:3001 on line 3, which keeps it");
    row("check: an empty file is no configuration", {"check", "F"}, "\n", false, 2, "nothing to load");
    row("load: a file with a mac only changes nothing, so it is refused", {"load", "F"}, "mac = 00:1A:2B:3C:4D:5E\n", false,
        2, "no ip, port, gateway or mask line; there is nothing to load");
    row("check with nothing to check", {"check"}, {}, false, 2, "check: nothing to check");
    row("write with nothing to write, before any link", {"write"}, {}, false, 2,
        "write: nothing to write; give --ip, --port, --gateway or --mask\n");
    row("--json answers a usage error in JSON", {"--json", "check"}, {}, false, 2, "check: nothing to check",
        "{\"error\":\"usage\",\"errors\":[{\"encoder\":null,\"error\":\"check: nothing to check");
    row("--json answers an unknown option in JSON", {"--json", "read", "--bogus"}, {}, false, 2, "Unknown option",
        "{\"error\":\"usage\"");
    row("--json answers a refused plan in JSON", {"--json", "apply", "F"}, "encoder,ip,port,gateway,mask\n10.0.0.1,,0,,\n",
        false, 2, "port 0 is outside",
        "\"errors\":[{\"encoder\":\"10.0.0.1\",\"error\":\"10.0.0.1:3001: port 0 is outside 1 to 65535\",\"field\":\"port\","
        "\"file\":\"@F@\",\"line\":2}]");
    row("--json answers a bad doctor address in JSON", {"--json", "doctor", "1.2.3"}, {}, false, 2, "is not ADDRESS",
        "{\"error\":\"usage\"");
    row("save to an empty name", {"save", ""}, {}, false, 2, "the file name is empty");
    row("save to a name of 250 bytes", {"save", "F_" + QString(248, u'x')}, {}, false, 0, "", "");
    row("save --json escapes C1 controls and direction marks in the file name", {"--json", "save", "F\u0085\u202e.txt"},
        {}, false, 0, "", "F\\u0085\\u202e.txt\"");
    row("write --json lists each refusal apart", {"--json", "write", "--mask", "255.0.255.0", "--gateway", "0.0.0.1"}, {},
        false, 2, "is not contiguous", "\"messages\":[\"mask 255.0.255.0 is not contiguous\",");
    row("check: a header in the wrong case, one error", {"check", "F"}, "Encoder;IP;Port;Gateway;Mask\n1;;;;\n2;;;;\n", false,
        2, "F:1: the first line must name the columns encoder,ip,port,gateway,mask, in any order, each once; "
           "\"Encoder;IP;Port;Gateway;Mask\" is not one of them\n");
    // One reader for every plan: apply's columns in any order, commission's judged by check as commission judges them.
    row("apply: columns in any order", {"--json", "apply", "F", "--dry-run"}, "gateway,mask,encoder,port,ip\n,,127.0.0.1:P,4000,\n",
        false, 0, "", "\"outcome\":\"dry-run\",\"warnings\"");
    row("check: a commissioning plan whose row cannot reach the factory gateway it keeps", {"check", "F"},
        "mask,ip,port,gateway\n255.255.255.0,10.1.2.11,,\n", false, 2,
        "F:2: gateway 172.16.0.1 is outside 10.1.2.0/24, the subnet of ip 10.1.2.11 (the factory gateway, kept as the row "
        "gives none)");
    row("commission: the same row refused before any encoder is touched", {"commission", "F"},
        "ip,port,gateway,mask\n10.1.2.11,,,255.255.255.0\n", false, 2, "(the factory gateway, kept as the row gives none)");
    row("check: a commissioning plan that passes", {"check", "F"}, "ip,mac,gateway,mask,port\n10.1.2.11,,10.1.2.254,255.255.255.0,\n",
        false, 0, "", "ok: 1 rows to commission");
    row("load: a rule error names the line", {"load", "F"}, "# x\nmask = 255.0.255.0\n", false, 2,
        "F:2: mask 255.0.255.0 is not contiguous");
    row("terminal controls echoed escaped", {"check", "F"}, "\x1b]0;x\x07\x1b[2J = 1\n", false, 2,
        "unknown key \"\\u001b]0;x\\u0007");
    row("check FILE with fields", {"check", "F", "--ip", "10.0.0.1"}, "ip = 10.0.0.1\n", false, 2, "not both");
    row("an option given twice", {"write", "--ip", "10.0.0.1", "--ip", "10.0.0.2"}, {}, false, 2,
        "--ip is given more than once");
    row("gateway = ip without a mask", {"write", "--ip", "10.0.0.1", "--gateway", "10.0.0.1"}, {}, false, 2,
        "is the ip itself");
    row("apply: a row invalid after its read ends as write does", {"--json", "apply", "F"},
        "encoder,ip,port,gateway,mask\n127.0.0.1:P,,,10.9.9.9,\n", false, 2, "", "\"outcome\":\"invalid\"");
    row("an unknown option echoed escaped", {"read", "--\x1b[2J"}, {}, false, 2, "\\u001b[2J");
    row("scan on a port of its own", {"scan", "127.0.0.1/32", "--port", "P"}, {}, false, 0, "1 of 1 addresses answered",
        "127.0.0.1:");
    row("scan prefix with a leading zero", {"scan", "10.0.0.0/030"}, {}, false, 2, "is not ADDRESS/PREFIX");
    for (const char *jobs : {" 4", "+4", "04", "4 "})
        row(QStringLiteral("apply --jobs \"%1\"").arg(QLatin1String(jobs)), {"apply", "F", "--jobs", jobs}, {}, false, 2,
            "--jobs needs a number from 1 to 64");
    row("apply --time-limit 0", {"apply", "F", "--time-limit", "0"}, {}, false, 2, "--time-limit needs a number of seconds");
    row("scan --timeout with a sign", {"scan", "127.0.0.1/32", "--timeout", "+500"}, {}, false, 2, "--timeout 1 to 3000");
    row("commission: two rows with one ip", {"commission", "F"},
        "ip,port,gateway,mask\n10.0.0.2,,0.0.0.0,255.255.255.0\n10.0.0.2,,0.0.0.0,255.255.255.0\n", false, 2,
        "F:3: ip 10.0.0.2 is already given to row 1");
    row("commission: a row at the address the next encoders answer at (--encoder)", {"commission", "F"},
        "mask,gateway,ip,port\n255.0.0.0,,127.0.0.1,\n", false, 2,
        "F:2: ip 127.0.0.1 is the factory address, where every encoder still to come answers");
    row("commission: one mac for two rows", {"commission", "F"},
        "ip,port,gateway,mask,mac\n10.0.0.2,,,255.255.255.0,02:00:00:00:00:01\n10.0.0.3,,,255.255.255.0,02-00-00-00-00-01\n",
        false, 2, "F:3: mac 02:00:00:00:00:01 is already given row 1");
    row("unbound library, in JSON too", {"--json", "--library", "/nonexistent/lib.so", "read"}, {}, false, 3,
        "/nonexistent/lib.so", "{\"error\":\"library\",\"errors\":[{\"encoder\":null,\"error\":\"cannot bind");
    // Output that cannot be written fails the command, as the core utilities do.
    // ">FULL" is a file that cannot grow, which fails every write as a full disk does.
    const char *full = "pnv3400ctl: write error: File too large\n";
    row("check, its output on a full disk", {"check", "--ip", "10.0.0.1"}, {}, false, 1, full, "", ">FULL");
    row("read --json, its output on a full disk", {"--json", "read"}, {}, false, 1, full, "", ">FULL");
    row("a refusal keeps its exit code on a full disk", {"--json", "check", "--ip", "0.0.0.1"}, {}, false, 2, full, "",
        ">FULL");
    row("help with its output closed", {"--help"}, {}, false, 1, "write error: Bad file descriptor", "", ">&-");
    row("input closed is no matter", {"check", "--ip", "10.0.0.1"}, {}, false, 0, "", "ok: no rule", "<&-");
    // The library's socket must not become descriptor 1 or 2, where --verbose
    // and the result would go into the encoder's connection.
    row("all three closed, --verbose read", {"--verbose", "read"}, {}, false, 1, "", "", "<&- >&- 2>&-");
}

void CtlEndToEndTest::filesAndArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, content);
    QFETCH(bool, fifo);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, out);
    QFETCH(QString, redirect);
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("F"));
    if (fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    else if (!content.isNull())
        QVERIFY(writeFile(file, content.replace(":P,", ":" + QByteArray::number(sim.port()) + ',')));
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^F(?![A-Za-z])")), file);   // F, or F and more
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^P$")), QString::number(sim.port()));
    out.replace("@F@", file.toUtf8()).replace("@P@", QByteArray::number(sim.port()));
    // A file size limit of 0, its signal ignored, makes every write to the file
    // fail (EFBIG): a full disk without a device or a mount.
    QString prelude;
    if (redirect == QLatin1String(">FULL")) {
        prelude = QStringLiteral("trap '' XFSZ; ulimit -f 0; ");
        redirect = QStringLiteral(">'%1'").arg(dir.filePath(QStringLiteral("out")));
    }
    const Run run = redirect.isEmpty()
                        ? runCtl(at(sim) + arguments)
                        : runProgram(QStringLiteral("sh"),
                                     QStringList{QStringLiteral("-c"), prelude + QStringLiteral("exec \"$0\" \"$@\" ") + redirect,
                                                 ctlPath()}
                                         + at(sim) + arguments);
    QCOMPARE(run.exitCode, exitCode);
    if (redirect.contains(QLatin1String(">&-")))
        QVERIFY2(!sim.log().contains("dropped"), sim.log().constData());   // no line of ours went into the link
    QVERIFY2(err.isEmpty() ? run.err.isEmpty() : run.err.contains(err), run.err.constData());
    QVERIFY2(run.out.contains(out), run.out.constData());
    QVERIFY2(!run.err.contains('\x1b'), "a control character reached the terminal");
    if (fifo)
        QVERIFY(QFileInfo(file).isFile() == false);   // still the FIFO it was
}

void CtlEndToEndTest::saveThroughALink_data()
{
    QTest::addColumn<int>("folderMode");   // of the folder the link is in
    QTest::addColumn<bool>("othersLink");  // the link belongs to another user, not to us (who own the folder)
    QTest::addColumn<bool>("toFolder");    // the link leads to the folder of the file, not to the file
    QTest::addColumn<bool>("refused");
    QTest::newRow("another user's link in a shared sticky folder") << 01777 << true << false << true;
    QTest::newRow("another user's link to a folder, on the way") << 01777 << true << true << true;
    QTest::newRow("our own link in a shared sticky folder") << 01777 << false << false << false;
    QTest::newRow("another user's link in a folder without the sticky bit") << 0777 << true << false << false;
}

// save never follows a link planted by another user in a folder like /tmp,
// as the kernel's protected_symlinks rule has it.
void CtlEndToEndTest::saveThroughALink()
{
    QFETCH(int, folderMode);
    QFETCH(bool, othersLink);
    QFETCH(bool, toFolder);
    QFETCH(bool, refused);
    QTemporaryDir dir;
    const QString shared = dir.filePath(QStringLiteral("shared"));
    const QString victim = dir.filePath(QStringLiteral("victim/v.conf"));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("shared")) && QDir(dir.path()).mkpath(QStringLiteral("victim")));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), mode_t(folderMode)), 0);
    QVERIFY(writeFile(victim, "precious\n"));
    const QString link = shared + QStringLiteral("/L");
    QVERIFY(QFile::link(toFolder ? QFileInfo(victim).path() : victim, link));
    if (othersLink && ::lchown(QFile::encodeName(link).constData(), 4242, 4242) != 0)
        QSKIP("giving a link to another user needs root");
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const Run run = runCtl(at(sim) << QStringLiteral("save") << (toFolder ? link + QStringLiteral("/v.conf") : link));
    QCOMPARE(run.exitCode, refused ? 2 : 0);
    QCOMPARE(run.err.contains("is a link owned by another user (uid 4242) in a folder anyone may write to"), refused);
    QCOMPARE(pnv::test::readFile(victim) == "precious\n", refused);
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QDir(shared).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("L")});
}

void CtlEndToEndTest::newAddressInUseAndDoctor()
{
    PNV_REQUIRE_SEALED_NETWORK();
    // GIVEN two encoders (10.77.6.0/24 is used by no other test), and the first to be moved to the second's address
    SimulatorProcess fleet(fleetOf("10.77.6.1", 2));
    QVERIFY2(fleet.start(), qPrintable(fleet.errorString()));
    const QStringList first{QStringLiteral("--encoder"), QStringLiteral("10.77.6.1"), QStringLiteral("--json")};
    const auto writeIp = [&](const char *ip, const QStringList &extra) {
        return runCtl(first + QStringList{QStringLiteral("write"), QStringLiteral("--ip"), QLatin1String(ip),
                                          QStringLiteral("--mask"), QStringLiteral("255.255.255.0"), QStringLiteral("--gateway"),
                                          QStringLiteral("0.0.0.0")} + extra);
    };
    for (const QStringList &extra : {QStringList(), QStringList{QStringLiteral("--dry-run")}}) {
        const Run refused = writeIp("10.77.6.2", extra);
        QCOMPARE(refused.exitCode, 2);
        QCOMPARE(refused.json().value(QStringLiteral("outcome")).toString(), QStringLiteral("invalid"));
        QVERIFY2(refused.json().value(QStringLiteral("message")).toString().startsWith(
                     QStringLiteral("ip 10.77.6.2 is in use: 10.77.6.2 accepts connections on port 3001")),
                 refused.out.constData());
    }
    QCOMPARE(countOf(fleet.log(), "WRITE"), 0);
    // An address where nothing answers is written; --force writes over the check.
    QCOMPARE(writeIp("10.77.6.3", {}).json().value(QStringLiteral("outcome")).toString(), QStringLiteral("applied"));
    QCOMPARE(writeIp("10.77.6.2", {QStringLiteral("--force")}).exitCode, 0);
    QCOMPARE(fleet.stateValue(QStringLiteral("address"), QStringLiteral("10.77.6.1")), QStringLiteral("10.77.6.2"));

    // An encoder with a move pending, told to keep the address it answers
    // at, is not "in use" by itself.
    const Run back = writeIp("10.77.6.1", {});
    QVERIFY2(back.exitCode == 0, back.out.constData());
    QCOMPARE(fleet.stateValue(QStringLiteral("address"), QStringLiteral("10.77.6.1")), QStringLiteral("10.77.6.1"));

    // A chain of moves is refused whole, --force or not: the row vacating an
    // address may fail, and then two encoders would hold it.
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("plan.csv"));
    QVERIFY(writeFile(plan, "encoder,ip,port,gateway,mask\n10.77.6.1,10.77.6.5,,0.0.0.0,255.255.255.0\n"
                            "10.77.6.2,10.77.6.1,,0.0.0.0,255.255.255.0\n"));
    const int writes = countOf(fleet.log(), "WRITE");
    for (const QStringList &extra : {QStringList(), QStringList{QStringLiteral("--force")}}) {
        const Run chain = runCtl(QStringList{QStringLiteral("apply"), plan} + extra);
        QCOMPARE(chain.exitCode, 2);
        QVERIFY2(chain.err.contains("plan.csv:3: new ip 10.77.6.1 is the present address of encoder 10.77.6.1:3001 on line 2, "
                                    "which moves to 10.77.6.5; lines 3, 2 form a chain of moves"),
                 chain.err.constData());
    }
    // apply checks every row's new address before its first write; one in
    // use makes its row invalid.
    QVERIFY(writeFile(plan, "encoder,ip,port,gateway,mask\n10.77.6.1,10.77.6.2,,0.0.0.0,255.255.255.0\n"));
    const Run inUse = runCtl({QStringLiteral("--json"), QStringLiteral("apply"), plan});
    QCOMPARE(inUse.exitCode, 2);
    QVERIFY2(inUse.jsonLines().value(0).value(QStringLiteral("message")).toString().startsWith(
                 QStringLiteral("ip 10.77.6.2 is in use: 10.77.6.2 accepts connections on port 3001")),
             inUse.out.constData());
    QCOMPARE(countOf(fleet.log(), "WRITE"), writes);

    // doctor: the namespace's loopback reaches the fleet, and nothing else.
    const Run near = runCtl({QStringLiteral("--json"), QStringLiteral("doctor"), QStringLiteral("10.77.6.2")});
    QCOMPARE(near.exitCode, 0);
    QCOMPARE(near.json().value(QStringLiteral("reads")).toBool(), true);
    const QJsonObject route = near.json().value(QStringLiteral("route")).toObject();
    QCOMPARE(route.value(QStringLiteral("interface")).toString(), QStringLiteral("lo"));
    QCOMPARE(route.value(QStringLiteral("source")).toString(), QStringLiteral("10.77.6.2"));   // the kernel's choice
    QVERIFY(near.json().value(QStringLiteral("suggestion")).isNull());
    const Run odd = runCtl({QStringLiteral("--json"), QStringLiteral("doctor"), QStringLiteral("224.0.0.6")});
    QCOMPARE(odd.exitCode, 2);
    QCOMPARE(odd.json().value(QStringLiteral("errors")).toArray().at(0).toObject().value(QStringLiteral("error")).toString(),
             odd.json().value(QStringLiteral("refusal")).toString());
    const Run away = runCtl({QStringLiteral("doctor"), QStringLiteral("10.66.0.1")});
    QCOMPARE(away.exitCode, 1);
    QVERIFY2(away.out.contains("route: none (Network is unreachable)\n"), away.out.constData());
    QVERIFY2(away.out.contains("\n  ip addr add 10.66.0.2/24 dev DEVICE\n"), away.out.constData());
}

void CtlEndToEndTest::doctorOnVethPairs_data()
{
    // ip commands, ";" between them, on the pair pnvd0/pnvd1 in the laptop's
    // namespace; those after "peer" run in a namespace of their own that
    // pnvd1 is moved to, the far end of a cable.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<QString>("said");    // a part of doctor's output
    QTest::newRow("a NIC up without IPv4 is named") << "link set pnvd0 up;link set pnvd1 up" << "10.88.0.1"
                                                 << "\n  ip addr add 10.88.0.2/24 dev pnvd";
    QTest::newRow("no carrier is said") << "link set pnvd0 up" << "10.88.0.1" << "note: pnvd0 has no carrier";
    QTest::newRow("the NIC holding the address is down: bring it up")
        << "addr add 10.88.0.5/24 dev pnvd0" << "10.88.0.1" << "\n  ip link set pnvd0 up\n";
    QTest::newRow("two NICs on the subnet: the route's is said")
        << "addr add 10.88.0.5/24 dev pnvd0;addr add 10.88.0.6/24 dev pnvd1;link set pnvd0 up;link set pnvd1 up"
        << "10.88.0.1" << "interfaces hold an address in a subnet containing 10.88.0.1 (pnvd1, pnvd0); the route takes pnvd0";
    QTest::newRow("the first neighbour answers: the next one is suggested")
        << "link set pnvd0 up;peer addr add 10.88.0.2/24 dev pnvd1;peer link set pnvd1 up" << "10.88.0.1"
        << "10.88.0.2 answers ARP on pnvd0 (MAC";
    QTest::newRow("the first neighbour answers: what is suggested")
        << "link set pnvd0 up;peer addr add 10.88.0.2/24 dev pnvd1;peer link set pnvd1 up" << "10.88.0.1"
        << "\n  ip addr add 10.88.0.3/24 dev pnvd0\n";
    QTest::newRow("multicast refused") << "link set pnvd0 up" << "224.0.0.6" << "224.0.0.6 is a multicast address";
    // pnvd1 as the uplink: it carries the default route.
    QTest::newRow("a NIC that is down: bring it up, nothing on the uplink")
        << "addr add 10.99.0.5/24 dev pnvd1;link set pnvd1 up;route add default dev pnvd1" << "172.16.30.1"
        << "\n  ip link set pnvd0 up\n";
    QTest::newRow("the uplink holds the factory subnet: said, with the other NIC")
        << "addr add 172.16.5.5/16 dev pnvd1;link set pnvd1 up;link set pnvd0 up;route add default dev pnvd1"
        << "172.16.30.1" << "pnvd1, the uplink (it carries the default route), holds 172.16.5.5/16, which contains "
                            "172.16.30.1: the encoder is looked for on the uplink's network, not on pnvd0";
    QTest::newRow("this computer holds the encoder's address itself")
        << "addr add 172.16.30.1/16 dev pnvd0;link set pnvd0 up" << "172.16.30.1"
        << "this computer holds 172.16.30.1 itself, on pnvd0";
}

// doctor on this computer's side, with a veth pair standing for the NICs of a
// laptop. The laptop is a network namespace of the test's own inside the
// sealed one, so that no other test running beside this one ever sees the pair.
void CtlEndToEndTest::doctorOnVethPairs()
{
    PNV_REQUIRE_SEALED_NETWORK();
    QFETCH(QString, setup);
    QFETCH(QString, encoder);
    QFETCH(QString, said);
    // A network namespace that lives as long as its process, told by its
    // inode (0: none to be read). The link's text would not do: QFileInfo
    // makes a path of it, which differs between /proc/self and /proc/PID.
    const auto netNamespace = [](const QString &process) {
        struct stat ns {};
        return ::stat(QStringLiteral("/proc/%1/ns/net").arg(process).toLocal8Bit().constData(), &ns) == 0 ? ns.st_ino : 0;
    };
    const ino_t own = netNamespace(QStringLiteral("self"));
    QProcess laptop;   // this computer's side
    QProcess peer;     // the far end of the cable
    const auto enter = [&](QProcess &holder) {
        holder.start(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("sleep"), QStringLiteral("60")});
        if (!holder.waitForStarted(5000))
            return false;
        // unshare has left ours once its namespace differs.
        const QString pid = QString::number(holder.processId());
        for (QDeadlineTimer deadline(5000); netNamespace(pid) == 0 || netNamespace(pid) == own; QTest::qWait(10))
            if (deadline.hasExpired())
                return false;
        return true;
    };
    const auto cleanUp = qScopeGuard([&] {
        for (QProcess *holder : {&laptop, &peer})
            if (holder->state() != QProcess::NotRunning) {
                holder->kill();
                holder->waitForFinished(5000);
            }
    });
    // `PROGRAM ARGUMENTS...` in the network namespace of `holder`'s process.
    const auto inside = [](const QProcess &holder, const QString &program, const QStringList &arguments,
                           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
        return runProgram(QStringLiteral("nsenter"),
                          QStringList{QStringLiteral("-t"), QString::number(holder.processId()), QStringLiteral("-n"),
                                      program} + arguments,
                          environment);
    };
    const auto ip = [&](const QProcess &holder, const QString &arguments) {
        const Run run = inside(holder, QStringLiteral("ip"), arguments.split(u' '));
        if (run.exitCode != 0)
            qWarning("ip %s: %s", qPrintable(arguments), run.err.constData());
        return run.exitCode == 0;
    };
    QVERIFY2(enter(laptop), "no network namespace for the laptop");
    QVERIFY(ip(laptop, QStringLiteral("link set lo up")));
    QVERIFY2(ip(laptop, QStringLiteral("link add pnvd0 type veth peer name pnvd1")), "no veth pair in the laptop's namespace");
    if (setup.contains(QLatin1String("peer "))) {
        QVERIFY2(enter(peer), "no network namespace for the far end");
        QVERIFY(ip(laptop, QStringLiteral("link set pnvd1 netns %1").arg(peer.processId())));
    }
    for (const QString &command : setup.split(u';')) {
        const bool far = command.startsWith(QLatin1String("peer "));
        QVERIFY2(ip(far ? peer : laptop, far ? command.mid(5) : command), qPrintable(command));
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TESSALIN_TIMEOUT_MS"), QStringLiteral("200"));
    const Run run = inside(laptop, ctlPath(), {QStringLiteral("doctor"), encoder}, environment);
    QVERIFY2((run.out + run.err).contains(said.toUtf8()), (run.out + run.err).constData());
}

void CtlEndToEndTest::interruptBeforeTheWrite()
{
    // Every answer takes 700 ms: Ctrl+C comes while the configuration is read.
    SimulatorProcess::Options options;
    options.faults << QStringLiteral("delay:700");
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QProcess ctl;
    ctl.start(ctlPath(), at(sim) << QStringLiteral("write") << QStringLiteral("--gateway") << QStringLiteral("172.16.0.77"));
    QVERIFY(ctl.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains("connected"), 10000);
    ::kill(static_cast<pid_t>(ctl.processId()), SIGINT);
    QVERIFY(ctl.waitForFinished(20000));
    QCOMPARE(ctl.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ctl.exitCode(), 130);
    QVERIFY(ctl.readAllStandardError().contains("interrupted before writing; nothing written"));
    QCOMPARE(countOf(sim.log(), "WRITE"), 0);

    // A read that Ctrl+C interrupts still answers, in JSON too.
    QProcess read;
    read.start(ctlPath(), at(sim) << QStringLiteral("--json") << QStringLiteral("read"));
    QVERIFY(read.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(countOf(sim.log(), "connected") == 2, 10000);
    ::kill(static_cast<pid_t>(read.processId()), SIGINT);
    QVERIFY(read.waitForFinished(20000));
    QCOMPARE(read.exitStatus(), QProcess::NormalExit);
    QCOMPARE(read.exitCode(), 130);
    QVERIFY(read.readAllStandardOutput().startsWith("{\"error\":\"interrupted\""));
}

void CtlEndToEndTest::emptyTargetIsAUsageError_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("empty --encoder") << QStringList{"--encoder", "", "read"} << QByteArray("--encoder \"\"");
    QTest::newRow("empty --encoder= after the command") << QStringList{"write", "--encoder=", "--mask", "255.255.0.0"}
                                                        << QByteArray("--encoder \"\"");
    QTest::newRow("empty --library") << QStringList{"--library", "", "read"} << QByteArray("--library");
}

// Never the factory default in place of a value that came out empty.
void CtlEndToEndTest::emptyTargetIsAUsageError()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    const Run run = runCtl(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), run.err.constData());
}

void CtlEndToEndTest::fleetApplyAndScan()
{
    PNV_REQUIRE_SEALED_NETWORK();
    SimulatorProcess fleet(fleetOf("10.77.0.1", 20));
    QVERIFY2(fleet.start(), qPrintable(fleet.errorString()));
    QCOMPARE(fleet.listening().first(), QStringLiteral("listening on 10.77.0.1:3001"));
    QCOMPARE(fleet.listening().last(), QStringLiteral("listening on 10.77.0.20:3001"));
    QCOMPARE(fleet.stateValue(QStringLiteral("address"), QStringLiteral("10.77.0.7")),
             QStringLiteral("10.77.0.7"));

    // GIVEN a plan for nineteen encoders of the fleet and one address where nothing answers
    QTemporaryDir dir;
    QFile plan(dir.filePath(QStringLiteral("plan.csv")));
    QVERIFY(plan.open(QIODevice::WriteOnly));
    plan.write("encoder,ip,port,gateway,mask\n");
    for (int i = 1; i <= 19; ++i)
        plan.write(QStringLiteral("10.77.0.%1,,,10.77.0.254,255.255.255.0\n").arg(i).toUtf8());
    plan.write("10.77.0.40,,,10.77.0.254,255.255.255.0\n");
    plan.close();
    const QStringList apply{QStringLiteral("--json"), QStringLiteral("apply"), plan.fileName(), QStringLiteral("--jobs"),
                            QStringLiteral("4")};

    const auto summaryOf = [](const Run &run) {
        const QList<QJsonObject> lines = run.jsonLines();
        return lines.isEmpty() ? QJsonObject() : lines.last().value(QStringLiteral("summary")).toObject();
    };
    // WHEN it is applied THEN 19 are applied, 1 failed, exit 1
    const Run first = runCtl(apply);
    QCOMPARE(first.exitCode, 1);
    QCOMPARE(first.jsonLines().size(), 21);   // one per row as it ends, then the summary
    QJsonObject summary = summaryOf(first);
    QCOMPARE(summary.value(QStringLiteral("applied")).toInt(), 19);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 1);
    QCOMPARE(summary.value(QStringLiteral("rows")).toInt(), 20);
    QSet<QString> encoders;
    for (const QJsonObject &row : first.jsonLines().mid(0, 20)) {
        encoders.insert(row.value(QStringLiteral("encoder")).toString());
        const bool unreachable = row.value(QStringLiteral("encoder")).toString() == QLatin1String("10.77.0.40:3001");
        QCOMPARE(row.value(QStringLiteral("outcome")).toString(),
                 unreachable ? QStringLiteral("failed") : QStringLiteral("applied"));
    }
    QCOMPARE(encoders.size(), 20);
    QCOMPARE(fleet.stateValue(QStringLiteral("gateway"), QStringLiteral("10.77.0.19")),
             QStringLiteral("10.77.0.254"));
    QCOMPARE(fleet.stateValue(QStringLiteral("gateway"), QStringLiteral("10.77.0.20")),
             QStringLiteral("172.16.0.1"));
    const int writes = countOf(fleet.log(), "WRITE");
    QCOMPARE(writes, 19);

    // WHEN it is applied again THEN nothing is written
    const Run second = runCtl(apply);
    QCOMPARE(second.exitCode, 1);
    summary = summaryOf(second);
    QCOMPARE(summary.value(QStringLiteral("unchanged")).toInt(), 19);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 1);
    QCOMPARE(countOf(fleet.log(), "WRITE"), writes);

    // A scan of the /27 finds exactly the twenty.
    const Run scan = runCtl({QStringLiteral("--json"), QStringLiteral("scan"), QStringLiteral("10.77.0.0/27")});
    QCOMPARE(scan.exitCode, 0);
    QStringList found;
    for (const QJsonObject &line : scan.jsonLines().mid(0, scan.jsonLines().size() - 1)) {
        found << line.value(QStringLiteral("encoder")).toString();
        QVERIFY(line.value(QStringLiteral("mac")).isString());
    }
    QStringList expected;
    for (int i = 1; i <= 20; ++i)
        expected << QStringLiteral("10.77.0.%1:3001").arg(i);
    QCOMPARE(found, expected);
    QCOMPARE(scan.jsonLines().last().value(QStringLiteral("summary")).toObject().value(QStringLiteral("answered")).toInt(), 20);
    // Where nothing answers, the summary still says so: a scan never prints nothing.
    const Run empty = runCtl({QStringLiteral("--json"), QStringLiteral("scan"), QStringLiteral("10.77.0.64/30")});
    QCOMPARE(empty.exitCode, 0);
    QCOMPARE(empty.jsonLines().size(), 1);
    const QJsonObject none = empty.jsonLines().first().value(QStringLiteral("summary")).toObject();
    QCOMPARE(none.value(QStringLiteral("addresses")).toInt(), 2);
    QCOMPARE(none.value(QStringLiteral("answered")).toInt(), 0);

    // A plan with one bad row is refused whole, nothing sent.
    QVERIFY(plan.open(QIODevice::Append));
    plan.write("10.77.0.20,127.0.0.5,,,\n");
    plan.close();
    const Run refused = runCtl(apply);
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains("plan.csv:22: 10.77.0.20:3001: ip 127.0.0.5 is in 127.0.0.0/8 (loopback)"), refused.err.constData());
    QCOMPARE(countOf(fleet.log(), "WRITE"), writes);
}

void CtlEndToEndTest::interruptFinishesRunningRows_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("ignored");   // set to be ignored by whoever started it, as `cmd &` in a script does
    QTest::addColumn<int>("exitCode");
    QTest::newRow("Ctrl+C") << SIGINT << false << 130;
    QTest::newRow("SIGHUP: a terminal or ssh session closed") << SIGHUP << false << 129;
    QTest::newRow("SIGTERM") << SIGTERM << false << 143;
    // 0: no signal; --time-limit 1 passes while the first row (over a second) is under way.
    QTest::newRow("--time-limit passed") << 0 << false << 124;
    QTest::newRow("SIGINT set to be ignored stays ignored") << SIGINT << true << 0;
    // SIGKILL goes to the worker writing the second row, not to pnv3400ctl.
    QTest::newRow("a worker killed mid-row: its row is read back") << SIGKILL << false << -1;
}

void CtlEndToEndTest::interruptFinishesRunningRows()
{
    PNV_REQUIRE_SEALED_NETWORK();
    QFETCH(int, signalNumber);
    QFETCH(bool, ignored);
    QFETCH(int, exitCode);
    // Every answer takes 300 ms, so a row (read, write, read back) is under way when the signal comes.
    SimulatorProcess fleet(fleetOf("10.77.1.1", 3, {QStringLiteral("delay:300")}));
    QVERIFY2(fleet.start(), qPrintable(fleet.errorString()));
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("plan.csv"));
    QVERIFY(writeFile(plan, "encoder,ip,port,gateway,mask\n10.77.1.1,,,10.77.1.254,255.255.255.0\n"
                            "10.77.1.2,,,10.77.1.254,255.255.255.0\n10.77.1.3,,,10.77.1.254,255.255.255.0\n"));

    QProcess ctl;
    // Its own process group, as a shell gives a foreground job: Ctrl+C reaches the whole group.
    ctl.setChildProcessModifier([ignored, signalNumber] {
        ::setpgid(0, 0);
        if (ignored)
            ::signal(signalNumber, SIG_IGN);   // kept across exec, as a shell leaves it
    });
    ctl.start(ctlPath(), QStringList{QStringLiteral("--json"), QStringLiteral("apply"), plan, QStringLiteral("--jobs"),
                                     QStringLiteral("1")}
                             + (signalNumber == 0 ? QStringList{QStringLiteral("--time-limit"), QStringLiteral("1")}
                                                  : QStringList()));
    QVERIFY(ctl.waitForStarted(5000));
    QByteArray out;
    const QDeadlineTimer deadline(20000);
    while (!out.contains('\n') && ctl.state() == QProcess::Running && !deadline.hasExpired()) {
        ctl.waitForReadyRead(1000);
        out += ctl.readAllStandardOutput();
    }
    QVERIFY2(out.contains('\n'), "the first row never finished");
    if (signalNumber == SIGKILL) {
        const QByteArray children = pnv::test::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(ctl.processId()));
        const pid_t worker = children.trimmed().split(' ').value(0).toInt();
        QVERIFY2(worker > 1, children.constData());
        ::kill(worker, SIGKILL);
    } else if (signalNumber != 0) {
        ::kill(-static_cast<pid_t>(ctl.processId()), signalNumber);
    }
    QVERIFY(ctl.waitForFinished(20000));
    out += ctl.readAllStandardOutput();
    QCOMPARE(ctl.exitStatus(), QProcess::NormalExit);
    const QList<QJsonObject> lines = Run{ctl.exitCode(), out, {}}.jsonLines();
    const QJsonObject summary = lines.last().value(QStringLiteral("summary")).toObject();
    if (signalNumber == SIGKILL) {
        // Every row reported; the second as what its encoder holds now, never a bare "failed".
        QCOMPARE(lines.size(), 4);
        const bool written = fleet.stateValue(QStringLiteral("gateway"), QStringLiteral("10.77.1.2")) == QLatin1String("10.77.1.254");
        bool seen = false;
        for (const QJsonObject &line : lines.mid(0, 3)) {
            if (line.value(QStringLiteral("encoder")).toString() != QLatin1String("10.77.1.2:3001"))
                continue;
            seen = true;
            QCOMPARE(line.value(QStringLiteral("outcome")).toString(), written ? QStringLiteral("applied") : QStringLiteral("unknown"));
            QVERIFY2(line.value(QStringLiteral("message")).toString().contains(QLatin1String("read afterwards")),
                     qPrintable(line.value(QStringLiteral("message")).toString()));
        }
        QVERIFY(seen);
        QCOMPARE(ctl.exitCode(), written ? 0 : 1);
        return;
    }
    QCOMPARE(ctl.exitCode(), exitCode);
    QCOMPARE(summary.value(QStringLiteral("interrupted")).toBool(), !ignored);
    const int applied = summary.value(QStringLiteral("applied")).toInt();
    const int notStarted = summary.value(QStringLiteral("not-started")).toInt();
    QVERIFY2(ignored || notStarted >= 1, "the signal must start no new row");
    // Every row that started ran to its end: none was cut in the middle.
    QCOMPARE(applied + notStarted, 3);
    QCOMPARE(lines.size() - 1, applied);
    QCOMPARE(countOf(fleet.log(), "WRITE"), applied);
}

// pnv3400ctl killed outright (SIGKILL, the OOM killer) while its workers
// run: each worker is told by the kernel, stops before its write or finishes
// it whole, and ends; none goes on to write with nobody to report it.
void CtlEndToEndTest::killedApplyEndsItsWorkers()
{
    PNV_REQUIRE_SEALED_NETWORK();
    // Every answer takes a second: a row's write comes two seconds after its link.
    SimulatorProcess fleet(fleetOf("10.77.12.1", 3, {QStringLiteral("delay:1000")}));
    QVERIFY2(fleet.start(), qPrintable(fleet.errorString()));
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("plan.csv"));
    QVERIFY(writeFile(plan, "encoder,ip,port,gateway,mask\n10.77.12.1,,,10.77.12.254,255.255.255.0\n"
                            "10.77.12.2,,,10.77.12.254,255.255.255.0\n10.77.12.3,,,10.77.12.254,255.255.255.0\n"));
    QProcess ctl;
    ctl.start(ctlPath(), {QStringLiteral("--json"), QStringLiteral("apply"), plan, QStringLiteral("--jobs"), QStringLiteral("3")});
    QVERIFY(ctl.waitForStarted(5000));
    // All three workers are under way once each has its link.
    QTRY_VERIFY_WITH_TIMEOUT(countOf(fleet.log(), "connected") == 3, 20000);
    QList<pid_t> workers;
    const QByteArray children = pnv::test::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(ctl.processId()));
    for (const QByteArray &pid : children.trimmed().split(' '))
        if (pid.toInt() > 1)
            workers << pid_t(pid.toInt());
    QCOMPARE(workers.size(), 3);
    ::kill(static_cast<pid_t>(ctl.processId()), SIGKILL);
    QVERIFY(ctl.waitForFinished(5000));

    // Gone, or a zombie nobody has reaped yet: either way it runs no more.
    const auto running = [](pid_t pid) {
        const QByteArray stat = pnv::test::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        return !stat.isEmpty() && !stat.mid(stat.lastIndexOf(')') + 2).startsWith('Z');
    };
    QTRY_VERIFY_WITH_TIMEOUT(std::none_of(workers.begin(), workers.end(), running), 15000);
    // No write begun after the kill (the workers were still reading), so none
    // torn and none unreported: no encoder got one, none holds the new gateway.
    for (const char *encoder : {"10.77.12.1", "10.77.12.2", "10.77.12.3"})
        QVERIFY(fleet.stateValue(QStringLiteral("gateway"), QLatin1String(encoder)) != QLatin1String("10.77.12.254"));
    QCOMPARE(countOf(fleet.log(), "WRITE"), 0);
}

// A program that names itself in PNV3400CTL_PARENT_PID (an Ansible module)
// and is ended outright takes its pnv3400ctl with it: no row is started after,
// the row under way finishes and is reported.
void CtlEndToEndTest::applyEndsWithTheProcessThatNamedIt()
{
    PNV_REQUIRE_SEALED_NETWORK();
    SimulatorProcess fleet(fleetOf("10.77.21.1", 4, {QStringLiteral("delay:300")}));
    QVERIFY2(fleet.start(), qPrintable(fleet.errorString()));
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("plan.csv"));
    const QString report = dir.filePath(QStringLiteral("report"));
    QByteArray rows = "encoder,ip,port,gateway,mask\n";
    for (int k = 1; k <= 4; ++k)
        rows += QStringLiteral("10.77.21.%1,,,10.77.21.254,255.255.255.0\n").arg(k).toUtf8();
    QVERIFY(writeFile(plan, rows));
    // The shell stands for the module: it names itself, starts pnv3400ctl, says its process and waits.
    QProcess parent;
    parent.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                        QStringLiteral("PNV3400CTL_PARENT_PID=$$ \"$0\" --json apply \"$1\" --jobs 1 >\"$2\" & "
                                                       "echo $!; wait"),
                                        ctlPath(), plan, report});
    QVERIFY(parent.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(parent.canReadLine(), 10000);
    const pid_t ctl = pid_t(parent.readLine().trimmed().toInt());
    QVERIFY(ctl > 1);
    QTRY_VERIFY_WITH_TIMEOUT(pnv::test::readFile(report).contains("\"outcome\""), 20000);
    ::kill(static_cast<pid_t>(parent.processId()), SIGKILL);
    QVERIFY(parent.waitForFinished(5000));
    const auto running = [ctl] {
        const QByteArray stat = pnv::test::readFile(QStringLiteral("/proc/%1/stat").arg(ctl));
        return !stat.isEmpty() && !stat.mid(stat.lastIndexOf(')') + 2).startsWith('Z');
    };
    QTRY_VERIFY_WITH_TIMEOUT(!running(), 20000);
    const QList<QJsonObject> lines = Run{0, pnv::test::readFile(report), {}}.jsonLines();
    QVERIFY2(!lines.isEmpty() && lines.last().contains(QStringLiteral("summary")), pnv::test::readFile(report).constData());
    const QJsonObject summary = lines.last().value(QStringLiteral("summary")).toObject();
    QVERIFY2(summary.value(QStringLiteral("interrupted")).toBool() && summary.value(QStringLiteral("not-started")).toInt() >= 1,
             pnv::test::readFile(report).constData());
    // Every write that happened is reported; none happened after.
    QCOMPARE(countOf(fleet.log(), "WRITE"), int(lines.size()) - 1);
}

void CtlEndToEndTest::lostOutputStartsNoNewRow_data()
{
    QTest::addColumn<QString>("command");    // apply (six rows, one worker) or commission (three encoders in a batch)
    QTest::addColumn<QString>("redirect");   // ">FULL": a file that cannot grow, as a full disk
    QTest::addColumn<QByteArray>("why");     // in the write error
    QTest::newRow("apply --json, its output on a full disk") << "apply" << ">FULL" << QByteArray("File too large");
    QTest::newRow("apply --json, its output closed") << "apply" << ">&-" << QByteArray("Bad file descriptor");
    QTest::newRow("apply --json into a pipe nobody reads") << "apply" << "| true" << QByteArray("Broken pipe");
    // (Not on a file that cannot grow: its journal could not grow either.)
    QTest::newRow("commission --json, its output closed") << "commission" << ">&-" << QByteArray("Bad file descriptor");
}

// Once what it does can no longer be reported, a long command starts no more
// of it: the rows under way finish and are told on stderr, the exit code fails.
void CtlEndToEndTest::lostOutputStartsNoNewRow()
{
    PNV_REQUIRE_SEALED_NETWORK();
    QFETCH(QString, command);
    QFETCH(QString, redirect);
    QFETCH(QByteArray, why);
    const bool apply = command == QLatin1String("apply");
    SimulatorProcess encoders(apply ? fleetOf("10.77.20.1", 6) : batchOf(3));
    QVERIFY2(encoders.start(), qPrintable(encoders.errorString()));
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("plan.csv"));
    QByteArray rows = "encoder,ip,port,gateway,mask\n";
    for (int k = 1; k <= 6; ++k)
        rows += QStringLiteral("10.77.20.%1,,,10.77.20.254,255.255.255.0\n").arg(k).toUtf8();
    QVERIFY(writeFile(plan, apply ? rows : commissionPlan(3)));
    QStringList arguments{QStringLiteral("--json"), command, plan};
    arguments += apply ? QStringList{QStringLiteral("--jobs"), QStringLiteral("1")}
                       : QStringList{QStringLiteral("--wait"), QStringLiteral("5")};
    QString prelude;
    if (redirect == QLatin1String(">FULL")) {
        prelude = QStringLiteral("trap '' XFSZ; ulimit -f 0; ");
        redirect = QStringLiteral(">'%1'").arg(dir.filePath(QStringLiteral("out")));
    }
    // bash for its pipefail: the pipe's status is pnv3400ctl's, not that of its reader, gone at once.
    const Run run = runProgram(QStringLiteral("bash"),
                               QStringList{QStringLiteral("-c"), QStringLiteral("set -o pipefail; ") + prelude
                                                                     + QStringLiteral("\"$0\" \"$@\" ") + redirect,
                                           ctlPath()}
                                   + arguments,
                               QProcessEnvironment::systemEnvironment(), 60000);
    QVERIFY2(run.exitCode == 1, run.err.constData());
    QVERIFY2(run.err.contains("pnv3400ctl: write error: " + why), run.err.constData());
    const int written = countOf(encoders.log(), "WRITE");
    if (apply) {
        // The row whose report was lost is told on stderr, with the summary; no row was started after it.
        QCOMPARE(countOf(run.err, "\"outcome\":\"applied\""), written);
        QCOMPARE(written, 1);
        QVERIFY2(run.err.contains("\"not-started\":5") && run.err.contains("\"output-lost\":true"), run.err.constData());
    } else {
        // Its first line (waiting) was lost: no encoder is written with nobody told.
        QCOMPARE(written, 0);
        QVERIFY2(run.err.contains("\"event\":\"output-lost\""), run.err.constData());
    }
}

void CtlEndToEndTest::commissionFiveEncoders()
{
    PNV_REQUIRE_SEALED_NETWORK();
    SimulatorProcess batch(batchOf(5));
    QVERIFY2(batch.start(), qPrintable(batch.errorString()));
    QCOMPARE(batch.listening(), QStringList{QStringLiteral("listening on 172.16.30.1:3001")});
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("site.csv"));
    QVERIFY(writeFile(plan, commissionPlan(5)));

    // A dry run names the row the encoder answering now would get, and writes nothing, not even a journal.
    const Run dry = runCtl({QStringLiteral("commission"), plan, QStringLiteral("--dry-run")});
    QVERIFY2(dry.exitCode == 0, dry.err.constData());
    const QString mac1 = SimulatorProcess::valueIn(batch.batchStatePath(1), QStringLiteral("mac"));
    QVERIFY2(dry.out.contains((mac1 + QStringLiteral(" would get row 1 (ip 10.78.0.11")).toUtf8()), dry.out.constData());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("site.journal.csv"))));

    const Run run = runCtl({QStringLiteral("--json"), QStringLiteral("commission"), plan, QStringLiteral("--wait"),
                            QStringLiteral("20")}, QProcessEnvironment::systemEnvironment(), 60000);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QStringList expected;
    for (int k = 1; k <= 5; ++k) {
        const QString mac = SimulatorProcess::valueIn(batch.batchStatePath(k), QStringLiteral("mac"));
        expected << QStringLiteral("%1 %2").arg(mac).arg(k);
        QCOMPARE(SimulatorProcess::valueIn(batch.batchStatePath(k), QStringLiteral("address")), rowIp(k));
        QCOMPARE(SimulatorProcess::valueIn(batch.batchStatePath(k), QStringLiteral("gateway")), QStringLiteral("10.78.0.1"));
    }
    QCOMPARE(eventsOf(run.jsonLines(), "done"), expected);
    QCOMPARE(run.jsonLines().last().value(QStringLiteral("event")).toString(), QStringLiteral("finished"));
    QCOMPARE(countOf(batch.log(), "WRITE"), 5);
    // Beside the plan: a line before each write and one with its outcome.
    const QList<QStringList> journal = journalOf(dir.filePath(QStringLiteral("site.journal.csv")));
    QCOMPARE(journal.size(), 10);
    for (int k = 1; k <= 5; ++k) {
        const QString mac = expected[k - 1].section(u' ', 0, 0);
        QCOMPARE(journal[2 * k - 2], (QStringList{mac, QString::number(k), QStringLiteral("writing")}));
        QCOMPARE(journal[2 * k - 1], (QStringList{mac, QString::number(k), QStringLiteral("applied")}));
    }
    // A second run with the same journal finds every row done and touches nothing.
    const Run again = runCtl({QStringLiteral("commission"), plan});
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.contains("every row is done (5 of 5 rows done)"), again.out.constData());
    QCOMPARE(countOf(batch.log(), "WRITE"), 5);
    // The plan edited afterwards: the done row whose gateway changed is named, never passed as done.
    QVERIFY(writeFile(plan, commissionPlan(5).replace("10.78.0.12,3001,10.78.0.1,", "10.78.0.12,3001,10.78.0.254,")));
    const Run edited = runCtl({QStringLiteral("--json"), QStringLiteral("commission"), plan});
    QCOMPARE(edited.exitCode, 1);
    QCOMPARE(eventsOf(edited.jsonLines(), "changed"), QStringList{expected[1]});
    QVERIFY2(edited.jsonLines().last().value(QStringLiteral("message")).toString().contains(QLatin1String("row 2 was done with other values")),
             edited.out.constData());
    QCOMPARE(countOf(batch.log(), "WRITE"), 5);
}

void CtlEndToEndTest::commissionInterruptedAndResumed()
{
    PNV_REQUIRE_SEALED_NETWORK();
    SimulatorProcess batch(batchOf(5));
    QVERIFY2(batch.start(), qPrintable(batch.errorString()));
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("site.csv"));
    const QString journalPath = dir.filePath(QStringLiteral("site.journal.csv"));
    QVERIFY(writeFile(plan, commissionPlan(5)));
    const QStringList commission{QStringLiteral("--json"), QStringLiteral("commission"), plan, QStringLiteral("--wait"),
                                 QStringLiteral("20")};

    // WHEN Ctrl+C comes once the third encoder is done THEN it ends with 130 and the journal whole
    QProcess ctl;
    ctl.setChildProcessModifier([] { ::setpgid(0, 0); });
    ctl.start(ctlPath(), commission);
    QVERIFY(ctl.waitForStarted(5000));
    QByteArray out;
    const QDeadlineTimer deadline(30000);
    while (countOf(out, "\"event\":\"done\"") < 3 && ctl.state() == QProcess::Running && !deadline.hasExpired()) {
        ctl.waitForReadyRead(1000);
        out += ctl.readAllStandardOutput();
    }
    QVERIFY2(countOf(out, "\"event\":\"done\"") >= 3, out.constData());
    ::kill(-static_cast<pid_t>(ctl.processId()), SIGINT);
    QVERIFY(ctl.waitForFinished(20000));
    out += ctl.readAllStandardOutput();
    QCOMPARE(ctl.exitCode(), 130);
    const QList<QJsonObject> events = Run{ctl.exitCode(), out, {}}.jsonLines();
    QCOMPARE(events.last().value(QStringLiteral("event")).toString(), QStringLiteral("interrupted"));
    // The next encoder may have been written by then: Ctrl+C never cuts a write in half.
    const int doneFirst = int(eventsOf(events, "done").size());
    QCOMPARE(events.last().value(QStringLiteral("done")).toInt(), doneFirst);
    int applied = 0;
    for (const QStringList &line : journalOf(journalPath))
        applied += line[2] == QLatin1String("applied");
    QCOMPARE(applied, doneFirst);

    // GIVEN the first encoder, done already, is factory-reset and connected again
    QVERIFY(batch.stop());
    const QString again = dir.filePath(QStringLiteral("again.state"));
    QVERIFY(QFile::copy(batch.batchStatePath(1), again));
    SimulatorProcess::Options returning;
    returning.listen = QStringLiteral("172.16.30.1");
    returning.port = 3001;
    returning.statePath = again;
    returning.extraArguments = {QStringLiteral("--factory-reset")};
    {
        SimulatorProcess first(returning);
        QVERIFY2(first.start(), qPrintable(first.errorString()));
        const Run seen = runCtl({QStringLiteral("--json"), QStringLiteral("commission"), plan, QStringLiteral("--wait"),
                                 QStringLiteral("1")});
        // THEN it is told done before, is given nothing, and the wait for the next ends at --wait
        QCOMPARE(seen.exitCode, 1);
        const QString mac = SimulatorProcess::valueIn(again, QStringLiteral("mac"));
        QCOMPARE(eventsOf(seen.jsonLines(), "already-done"), QStringList{mac + QStringLiteral(" 1")});
        QVERIFY2(seen.out.contains("was given row 1 (ip 10.78.0.11") && seen.out.contains("run with --redo"), seen.out.constData());
        QCOMPARE(seen.jsonLines().last().value(QStringLiteral("event")).toString(), QStringLiteral("timeout"));
        QCOMPARE(countOf(first.log(), "WRITE"), 0);
        // WITH --redo THEN it is given its row again
        const Run redone = runCtl({QStringLiteral("--json"), QStringLiteral("commission"), plan, QStringLiteral("--redo"),
                                   QStringLiteral("--wait"), QStringLiteral("1")});
        QCOMPARE(eventsOf(redone.jsonLines(), "done"), QStringList{mac + QStringLiteral(" 1")});
        QCOMPARE(countOf(first.log(), "WRITE"), 1);
    }

    // WHEN the rest are connected and it runs again THEN it goes on where it stopped
    QVERIFY2(batch.start(), qPrintable(batch.errorString()));
    const Run resumed = runCtl(commission, QProcessEnvironment::systemEnvironment(), 60000);
    QVERIFY2(resumed.exitCode == 0, resumed.err.constData());
    QCOMPARE(eventsOf(resumed.jsonLines(), "done").size(), 5 - doneFirst);
    QSet<QString> macs;
    for (int k = 1; k <= 5; ++k) {
        QCOMPARE(SimulatorProcess::valueIn(batch.batchStatePath(k), QStringLiteral("address")), rowIp(k));
        macs.insert(SimulatorProcess::valueIn(batch.batchStatePath(k), QStringLiteral("mac")));
    }
    QMap<QString, QString> appliedRows;   // row -> MAC
    for (const QStringList &line : journalOf(journalPath))
        if (line[2] == QLatin1String("applied")) {
            // (row 1 twice to its own encoder: --redo gave it again after its factory reset)
            QVERIFY2(appliedRows.value(line[1], line[0]) == line[0],
                     qPrintable(QStringLiteral("row %1 given to two encoders").arg(line[1])));
            appliedRows[line[1]] = line[0];
        }
    QCOMPARE(appliedRows.size(), 5);
    QCOMPARE(QSet<QString>(appliedRows.begin(), appliedRows.end()), macs);
}

void CtlEndToEndTest::commissionFailedWriteAndMacColumn()
{
    PNV_REQUIRE_SEALED_NETWORK();
    // Each encoder refuses its first write.
    SimulatorProcess batch(batchOf(2, {QStringLiteral("write-status:5")}));
    QVERIFY2(batch.start(), qPrintable(batch.errorString()));
    const QString mac1 = SimulatorProcess::valueIn(batch.batchStatePath(1), QStringLiteral("mac"));
    const QString mac2 = SimulatorProcess::valueIn(batch.batchStatePath(2), QStringLiteral("mac"));
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("site.csv"));
    const QString journal = dir.filePath(QStringLiteral("site.journal.csv"));
    // The first to be connected has the second row, by its MAC.
    QVERIFY(writeFile(plan, commissionPlan(2, {mac2, mac1.toLower()})));
    const QStringList commission{QStringLiteral("--json"), QStringLiteral("commission"), plan, QStringLiteral("--wait")};

    // WHEN its write fails THEN it is journaled, and not tried again while it stays connected
    const Run failed = runCtl(commission + QStringList{QStringLiteral("1")});
    QCOMPARE(failed.exitCode, 1);
    QCOMPARE(eventsOf(failed.jsonLines(), "failed"), QStringList{mac1 + QStringLiteral(" 2")});
    QCOMPARE(failed.jsonLines().last().value(QStringLiteral("event")).toString(), QStringLiteral("timeout"));
    QCOMPARE(journalOf(journal).last(), (QStringList{mac1, QStringLiteral("2"), QStringLiteral("rejected")}));
    QCOMPARE(countOf(batch.log(), "WRITE"), 1);
    QCOMPARE(SimulatorProcess::valueIn(batch.batchStatePath(1), QStringLiteral("address")), QStringLiteral("172.16.30.1"));

    // WHEN the installer reconnects it THEN its own row is written, then the other's
    QVERIFY(batch.stop());
    batch.options().faults.clear();
    QVERIFY2(batch.start(), qPrintable(batch.errorString()));
    const Run retried = runCtl(commission + QStringList{QStringLiteral("20")}, QProcessEnvironment::systemEnvironment(), 60000);
    QVERIFY2(retried.exitCode == 0, retried.err.constData());
    QCOMPARE(eventsOf(retried.jsonLines(), "done"), (QStringList{mac1 + QStringLiteral(" 2"), mac2 + QStringLiteral(" 1")}));
    QCOMPARE(SimulatorProcess::valueIn(batch.batchStatePath(1), QStringLiteral("address")), rowIp(2));
    QCOMPARE(SimulatorProcess::valueIn(batch.batchStatePath(2), QStringLiteral("address")), rowIp(1));

    // GIVEN a plan that now gives the first encoder a third row, and that encoder factory-reset and connected again
    QVERIFY(batch.stop());
    QVERIFY(writeFile(plan, commissionPlan(3, {mac2, QString(), mac1})));
    SimulatorProcess::Options returning;
    returning.listen = QStringLiteral("172.16.30.1");
    returning.port = 3001;
    returning.statePath = batch.batchStatePath(1);
    returning.extraArguments = {QStringLiteral("--factory-reset")};
    SimulatorProcess again(returning);
    QVERIFY2(again.start(), qPrintable(again.errorString()));
    // THEN it is refused a second address
    const Run refused = runCtl(commission + QStringList{QStringLiteral("1")});
    QCOMPARE(refused.exitCode, 1);
    QCOMPARE(eventsOf(refused.jsonLines(), "refused"), QStringList{mac1 + QStringLiteral(" 0")});
    QCOMPARE(countOf(again.log(), "WRITE"), 0);
}

void CtlEndToEndTest::commissionEndsOnSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("Ctrl+C") << SIGINT << 130;
    QTest::newRow("SIGHUP: the terminal closed") << SIGHUP << 129;
    QTest::newRow("SIGTERM") << SIGTERM << 143;
}

// A signal during a write lets the write finish and journals its outcome.
void CtlEndToEndTest::commissionEndsOnSignals()
{
    PNV_REQUIRE_SEALED_NETWORK();
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    // Every answer takes 300 ms: the write is under way when the signal comes.
    SimulatorProcess batch(batchOf(2, {QStringLiteral("delay:300")}));
    QVERIFY2(batch.start(), qPrintable(batch.errorString()));
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("site.csv"));
    QVERIFY(writeFile(plan, commissionPlan(2)));
    QProcess ctl;
    ctl.setChildProcessModifier([] { ::setpgid(0, 0); });
    ctl.start(ctlPath(), {QStringLiteral("--json"), QStringLiteral("commission"), plan, QStringLiteral("--wait"), QStringLiteral("20")});
    QVERIFY(ctl.waitForStarted(5000));
    QByteArray out;
    const QDeadlineTimer deadline(30000);
    while (!out.contains("\"event\":\"encoder\"") && ctl.state() == QProcess::Running && !deadline.hasExpired()) {
        ctl.waitForReadyRead(1000);
        out += ctl.readAllStandardOutput();
    }
    QVERIFY2(out.contains("\"event\":\"encoder\""), out.constData());
    // The write itself has reached the encoder; its read-back is still to come.
    QTRY_VERIFY_WITH_TIMEOUT(countOf(batch.log(), "WRITE") == 1, 20000);
    ::kill(-static_cast<pid_t>(ctl.processId()), signalNumber);
    QVERIFY(ctl.waitForFinished(20000));
    out += ctl.readAllStandardOutput();
    QCOMPARE(ctl.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ctl.exitCode(), exitCode);
    const QList<QJsonObject> events = Run{ctl.exitCode(), out, {}}.jsonLines();
    QCOMPARE(events.last().value(QStringLiteral("event")).toString(), QStringLiteral("interrupted"));
    const QString mac1 = SimulatorProcess::valueIn(batch.batchStatePath(1), QStringLiteral("mac"));
    QCOMPARE(eventsOf(events, "done"), QStringList{mac1 + QStringLiteral(" 1")});
    QCOMPARE(journalOf(dir.filePath(QStringLiteral("site.journal.csv"))).last(),
             (QStringList{mac1, QStringLiteral("1"), QStringLiteral("applied")}));
    QCOMPARE(countOf(batch.log(), "WRITE"), 1);
}

// One commission per factory address: a second run, with a journal of its
// own, is refused and told which run holds the bench. A resumed run names the
// encoder whose write was cut short.
void CtlEndToEndTest::commissionAloneOnTheBench()
{
    PNV_REQUIRE_SEALED_NETWORK();
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("site.csv"));
    const QString journal = dir.filePath(QStringLiteral("site.journal.csv"));
    QVERIFY(writeFile(plan, commissionPlan(2)));
    // GIVEN a run killed while it wrote row 2 to 02:00:00:00:00:42
    QVERIFY(writeFile(journal, "time,mac,row,ip,port,gateway,mask,outcome,message\n"
                               "2026-01-01T00:00:00Z,02:00:00:00:00:42,2,10.78.0.12,3001,10.78.0.1,255.255.255.0,writing,\n"));
    const QStringList commission{QStringLiteral("--json"), QStringLiteral("commission"), plan, QStringLiteral("--wait")};
    QProcess first;
    first.start(ctlPath(), commission + QStringList{QStringLiteral("30")});
    QVERIFY(first.waitForStarted(5000));
    QByteArray out;
    const QDeadlineTimer deadline(20000);
    while (!out.contains("\"event\":\"waiting\"") && first.state() == QProcess::Running && !deadline.hasExpired()) {
        first.waitForReadyRead(1000);
        out += first.readAllStandardOutput();
    }
    // THEN it names that encoder and what to do
    QCOMPARE(eventsOf(Run{0, out, {}}.jsonLines(), "in-doubt"), QStringList{QStringLiteral("02:00:00:00:00:42 2")});
    QVERIFY2(out.contains("connect it again at the factory address"), out.constData());

    // WHEN a second run starts on the same bench with a journal of its own THEN it is refused, naming the first
    const Run second = runCtl({QStringLiteral("commission"), plan, QStringLiteral("--journal"),
                               dir.filePath(QStringLiteral("other.csv")), QStringLiteral("--wait"), QStringLiteral("1")});
    QCOMPARE(second.exitCode, 2);
    QVERIFY2(second.err.contains(QStringLiteral("process %1, plan %2").arg(first.processId()).arg(plan).toUtf8())
                 && second.err.contains("172.16.30.1:3001"),
             second.err.constData());
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(20000));
    QCOMPARE(first.exitCode(), 143);

    // WHEN the bench is free again and nothing comes THEN the end names the encoder in doubt once more
    const Run timedOut = runCtl(commission + QStringList{QStringLiteral("1")});
    QCOMPARE(timedOut.exitCode, 1);
    QVERIFY2(timedOut.jsonLines().last().value(QStringLiteral("message")).toString().contains(
                 QLatin1String("02:00:00:00:00:42 was being given row 2")),
             timedOut.out.constData());
}

void CtlEndToEndTest::commissionNamesANonEncoder_data()
{
    QTest::addColumn<QByteArray>("greeting");   // what the listener at the factory address sends on each connection
    QTest::addColumn<QString>("named");
    QTest::newRow("a listener that never answers") << QByteArray() << "accepts a connection and never answers as an encoder";
    QTest::newRow("a web server") << QByteArray("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
                                  << "answers with bytes that are not an encoder's reply";
}

// Something at the factory address that is not an encoder is said to be so,
// not waited for in silence.
void CtlEndToEndTest::commissionNamesANonEncoder()
{
    PNV_REQUIRE_SEALED_NETWORK();
    QFETCH(QByteArray, greeting);
    QFETCH(QString, named);
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress(QStringLiteral("172.16.30.1")), 3001));
    QList<QTcpSocket *> held;   // kept open, as such a device keeps them
    connect(&listener, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *socket = listener.nextPendingConnection()) {
            held << socket;
            socket->write(greeting);
        }
    });
    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("site.csv"));
    QVERIFY(writeFile(plan, commissionPlan(1)));
    QProcess ctl;
    ctl.start(ctlPath(), {QStringLiteral("commission"), plan, QStringLiteral("--wait"), QStringLiteral("1")});
    QVERIFY(ctl.waitForStarted(5000));
    // The listener answers from this test's event loop while the command runs.
    QTRY_VERIFY_WITH_TIMEOUT(ctl.state() == QProcess::NotRunning, 30000);
    const QByteArray out = ctl.readAllStandardOutput();
    QCOMPARE(ctl.exitCode(), 1);
    QVERIFY2(out.contains(("something answers at 172.16.30.1:3001, but it " + named).toUtf8()), out.constData());
    // The end says it once more: what answers there is why nothing changed.
    const QByteArray end = out.mid(out.indexOf("no change at"));
    QVERIFY2(out.contains("no change at") && end.left(end.indexOf('\n')).contains(named.toUtf8()), out.constData());
    qDeleteAll(held);
}

// The manual page cannot include the tables the program prints; it is held to them.
void CtlEndToEndTest::manPageAgreesWithHelp()
{
    const Run help = runCtl({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    const QString page = QString::fromUtf8(pnv::test::readFile(qEnvironmentVariable("PNV_SOURCE_DIR") + QStringLiteral("/docs/man/pnv3400ctl.1")));
    QVERIFY2(!page.isEmpty(), "docs/man/pnv3400ctl.1 cannot be read");
    const QString text = QString::fromUtf8(help.out);

    const auto outcomes = helpRows(text, QStringLiteral("Outcomes of a write:"),
                                   QRegularExpression(QStringLiteral("^  ([a-z-]+) +(\\d+) +(yes|no) +(yes|no) +(.+)$")));
    QCOMPARE(outcomes.size(), 8);
    QMap<QString, QString> entries = manEntries(page, QStringLiteral("OUTCOMES"));
    for (const QRegularExpressionMatch &row : outcomes) {
        const QString tag = QStringLiteral("%1 (exit %2%3%4)")
                                .arg(row.captured(1), row.captured(2),
                                     row.captured(3) == QLatin1String("yes") ? QStringLiteral(", changed") : QString(),
                                     row.captured(4) == QLatin1String("yes") ? QStringLiteral(", failed") : QString());
        QVERIFY2(entries.contains(tag), qPrintable(tag + QStringLiteral(" not in: ") + entries.keys().join(u'|')));
        QVERIFY2(entries.take(tag).contains(row.captured(5), Qt::CaseInsensitive), qPrintable(tag));
    }
    QVERIFY2(entries.isEmpty(), qPrintable(entries.keys().join(u'|')));

    const auto codes = helpRows(text, QStringLiteral("Exit codes:"), QRegularExpression(QStringLiteral("^  (\\d+) +(.+)$")));
    QCOMPARE(codes.size(), 8);
    entries = manEntries(page, QStringLiteral("EXIT STATUS"));
    for (const QRegularExpressionMatch &row : codes)
        QVERIFY2(entries.take(row.captured(1)).contains(row.captured(2), Qt::CaseInsensitive), qPrintable(row.captured(0)));
    QVERIFY2(entries.isEmpty(), qPrintable(entries.keys().join(u'|')));
}

QTEST_GUILESS_MAIN(CtlEndToEndTest)
#include "tst_ctl_e2e.moc"
