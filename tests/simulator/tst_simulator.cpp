// pnv3400-sim as a process: its state file, its firmware checks, its command
// line, and its resistance to clients that misbehave.

#include "SimulatorProcess.h"
#include "StateFile.h"
#include "WireClient.h"

#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTcpServer>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using pnv::test::SimulatorProcess;
using pnv::test::WireClient;
using tessalin::NetworkConfig;
namespace wire = tessalin::wire;

Q_DECLARE_METATYPE(tessalin::NetworkConfig)

namespace {

NetworkConfig configWith(const tessalin::Octets4 &address, std::uint16_t port, const tessalin::Octets4 &mask,
                         const tessalin::Octets4 &gateway = {10, 1, 2, 254})
{
    NetworkConfig config = NetworkConfig::factory({});
    config.address = address;
    config.port = port;
    config.mask = mask;
    config.gateway = gateway;
    return config;
}

// What the window writes in its own example: 10.1.2.3:3001/24 via 10.1.2.254.
const NetworkConfig kExample = configWith({10, 1, 2, 3}, 3001, {255, 255, 255, 0});

bool sameSettings(const NetworkConfig &a, const NetworkConfig &b) { return a.requestBytes() == b.requestBytes(); }

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Starts the simulator, links to it and writes kExample; a failure ends the calling test.
void startAndWriteExample(SimulatorProcess &sim)
{
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    WireClient client;
    QVERIFY(client.connectTo(sim.port()));
    QCOMPARE(client.handshake(), 0);
    QCOMPARE(client.write(kExample), 0);
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Runs the simulator to its end with a time limit; returns its exit code, or -1.
// ">&-" among the arguments starts it with its standard output closed.
int runToEnd(QStringList arguments, QByteArray *errors = nullptr, QByteArray *output = nullptr)
{
    QProcess process;
    if (arguments.removeAll(QStringLiteral(">&-")) > 0)
        process.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$@\" >&-"),
                                                             SimulatorProcess::programPath()} + arguments);
    else
        process.start(SimulatorProcess::programPath(), arguments);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (errors)
        *errors = process.readAllStandardError();
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class SimulatorTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void clientsShareOneConfiguration();
    void logLines_data();
    void logLines();
    void stateSurvivesARestartAndTheNewPortAppliesThen();
    void factoryResetRestoresSettingsAndKeepsTheMac();
    void newStateGoesToTheXdgStateFolder();
    void firmwareChecksOnWrite_data();
    void firmwareChecksOnWrite();
    void unusableStateIsAnErrorNotAReset_data();
    void unusableStateIsAnErrorNotAReset();
    void stateThatIsNoRegularFileIsRefused_data();
    void stateThatIsNoRegularFileIsRefused();
    void linkedStateIsWrittenThroughTheLink();
    void badCommandLinesAreRefused_data();
    void badCommandLinesAreRefused();
    void killedDuringWritesNeverTearsTheState();
    void hostileClientDoesNotStopOthers_data();
    void hostileClientDoesNotStopOthers();
    void fullSimulatorStillServesANewcomer_data();
    void fullSimulatorStillServesANewcomer();
    void burstWaitsInTheListenQueue();
    void modeOtherThan14IsRefused();
    void endsCleanlyOnSignals_data();
    void endsCleanlyOnSignals();
};

void SimulatorTest::initTestCase()
{
    QVERIFY(QFile::exists(SimulatorProcess::programPath()));
}

void SimulatorTest::clientsShareOneConfiguration()
{
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    WireClient first, second;
    QVERIFY(first.connectTo(sim.port()));
    QVERIFY(second.connectTo(sim.port()));
    QCOMPARE(first.handshake(), 0);
    QCOMPARE(second.handshake(), 0);

    QCOMPARE(first.write(kExample), 0);
    const auto seen = second.read();
    QVERIFY(seen);
    QVERIFY(sameSettings(*seen, kExample));
    QVERIFY(sim.log().contains("WRITE -> status 0"));
    QVERIFY(sim.log().contains("READ -> status 0"));
}

void SimulatorTest::logLines_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QString>("pattern");     // QT_MESSAGE_PATTERN; unset when empty
    QTest::addColumn<QString>("lineStart");   // what every line begins with
    QTest::addColumn<bool>("requestsLogged");
    const QString stamp = QStringLiteral(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} )");
    QTest::newRow("default") << QString() << QString() << stamp << true;
    QTest::newRow("requests silenced") << "pnv3400.sim.session.info=false" << QString() << stamp << false;
    QTest::newRow("own message pattern") << QString() << "<%{category}> %{message}"
                                         << R"(<pnv3400\.sim(\.session)?> )" << true;
}

void SimulatorTest::logLines()
{
    QFETCH(QString, rules);
    QFETCH(QString, pattern);
    QFETCH(QString, lineStart);
    QFETCH(bool, requestsLogged);
    SimulatorProcess sim;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    if (!pattern.isEmpty())
        environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), pattern);
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    // Local time 5:45 ahead of UTC: a stamp in UTC, or in the zone's whole hours, shows.
    environment.insert(QStringLiteral("TZ"), QStringLiteral("PNV-5:45"));
    const int zoneOffsetS = (5 * 60 + 45) * 60;
    sim.process().setProcessEnvironment(environment);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    WireClient client;
    QVERIFY(client.connectTo(sim.port()));
    QCOMPARE(client.handshake(), 0);
    QVERIFY(client.read());
    QVERIFY(client.read());

    // Each line whole, with its start; the request's line is there once its
    // answer is.
    const QString log = QString::fromLocal8Bit(sim.log());
    const QRegularExpression read("^" + lineStart + R"(127\.0\.0\.1:\d+ READ -> status 0$)",
                                  QRegularExpression::MultilineOption);
    QCOMPARE(log.count(read), requestsLogged ? 2 : 0);
    QCOMPARE(log.contains(QRegularExpression("^" + lineStart + "127\\.0\\.0\\.1:\\d+ connected$",
                                             QRegularExpression::MultilineOption)),
             requestsLogged);
    // The simulator's own notes stay, whatever the rules say of requests.
    QVERIFY2(log.contains(QRegularExpression("^" + lineStart + "pnv3400-sim: new encoder state ",
                                             QRegularExpression::MultilineOption)),
             qPrintable(log));
    if (!requestsLogged || !pattern.isEmpty())
        return;
    // The stamp is the local time of now, to the field.
    QDateTime stamped = QDateTime::fromString(read.match(log).captured().left(23),
                                              QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    QVERIFY(stamped.isValid());
    stamped.setTimeSpec(Qt::UTC);
    const qint64 behindS = stamped.secsTo(QDateTime::currentDateTimeUtc().addSecs(zoneOffsetS));
    QVERIFY2(behindS >= 0 && behindS < 60, qPrintable(stamped.toString(Qt::ISODateWithMs)));
}

void SimulatorTest::stateSurvivesARestartAndTheNewPortAppliesThen()
{
    QTemporaryDir dir;
    SimulatorProcess::Options options;
    options.statePath = dir.filePath(QStringLiteral("encoder.state"));
    const quint16 newPort = freePort();
    QVERIFY(newPort != 0);
    NetworkConfig wanted = kExample;
    wanted.port = newPort;
    tessalin::MacAddress mac{};
    {
        SimulatorProcess sim(options);
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        WireClient client;
        QVERIFY(client.connectTo(sim.port()));
        QCOMPARE(client.handshake(), 0);
        mac = client.read()->mac;
        QCOMPARE(client.write(wanted), 0);
        QVERIFY(sameSettings(*client.read(), wanted));   // read back at once
        QVERIFY(sim.stop());
    }
    options.port = -1;   // listen on the stored port, as a rebooted encoder does
    SimulatorProcess restarted(options);
    QVERIFY2(restarted.start(), qPrintable(restarted.errorString()));
    QCOMPARE(restarted.port(), newPort);
    WireClient client;
    QVERIFY(client.connectTo(restarted.port()));
    QCOMPARE(client.handshake(), 0);
    const auto stored = client.read();
    QVERIFY(stored);
    QVERIFY(sameSettings(*stored, wanted));
    QVERIFY(stored->mac == mac);
}

void SimulatorTest::factoryResetRestoresSettingsAndKeepsTheMac()
{
    QTemporaryDir dir;
    SimulatorProcess::Options options;
    options.statePath = dir.filePath(QStringLiteral("encoder.state"));
    options.extraArguments << QStringLiteral("--mac") << QStringLiteral("02:11:22:33:44:5F");
    {
        SimulatorProcess sim(options);
        startAndWriteExample(sim);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(sim.stop());
    }
    options.extraArguments = QStringList{QStringLiteral("--factory-reset")};
    SimulatorProcess reset(options);
    QVERIFY2(reset.start(), qPrintable(reset.errorString()));
    WireClient client;
    QVERIFY(client.connectTo(reset.port()));
    QCOMPARE(client.handshake(), 0);
    const auto config = client.read();
    QVERIFY(config);
    const NetworkConfig factory = NetworkConfig::factory({0x02, 0x11, 0x22, 0x33, 0x44, 0x5F});
    QVERIFY(*config == factory);
    QCOMPARE(pnv::sim::loadState(options.statePath).config.value_or(NetworkConfig()), factory);
}

void SimulatorTest::newStateGoesToTheXdgStateFolder()
{
    QTemporaryDir home;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_STATE_HOME"), home.path());
    process.setProcessEnvironment(environment);
    process.start(SimulatorProcess::programPath(), {QStringLiteral("--port"), QStringLiteral("0")});
    QVERIFY(process.waitForStarted());
    const QString expected = home.filePath(QStringLiteral("pnv3400-sim/encoder.state"));
    QByteArray output;
    const QDeadlineTimer deadline(10000);
    while (!output.contains('\n') && !deadline.hasExpired() && process.waitForReadyRead(1000))
        output += process.readAllStandardOutput();
    QVERIFY2(output.startsWith("listening on 127.0.0.1:"), output.constData());
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    const auto loaded = pnv::sim::loadState(expected);
    QVERIFY2(loaded.config, qPrintable(loaded.error));
    QVERIFY(sameSettings(*loaded.config, NetworkConfig::factory({})));
    // The same file gives the same MAC: it is derived from the path.
    QVERIFY(loaded.config->mac == pnv::sim::macForStatePath(expected));
    QCOMPARE(loaded.config->mac[0], std::uint8_t{0x02});
}

void SimulatorTest::firmwareChecksOnWrite_data()
{
    QTest::addColumn<NetworkConfig>("config");
    QTest::addColumn<int>("status");
    const tessalin::Octets4 m24{255, 255, 255, 0};
    QTest::newRow("sound") << kExample << 0;
    QTest::newRow("mask with a hole") << configWith({10, 1, 2, 3}, 3001, {255, 0, 255, 0}) << 4;
    QTest::newRow("mask 255.255.255.1") << configWith({10, 1, 2, 3}, 3001, {255, 255, 255, 1}) << 4;
    QTest::newRow("mask 0.0.0.0") << configWith({10, 1, 2, 3}, 3001, {0, 0, 0, 0}) << 4;
    QTest::newRow("address 0.0.0.0") << configWith({0, 0, 0, 0}, 3001, m24) << 4;
    QTest::newRow("address in 0/8") << configWith({0, 1, 2, 3}, 3001, m24) << 4;
    QTest::newRow("network address") << configWith({10, 1, 2, 0}, 3001, m24) << 4;
    QTest::newRow("subnet broadcast") << configWith({10, 1, 2, 255}, 3001, m24) << 4;
    QTest::newRow("subnet broadcast /16") << configWith({172, 16, 255, 255}, 3001, {255, 255, 0, 0}) << 4;
    QTest::newRow("x.x.0.255 in a /16") << configWith({172, 16, 0, 255}, 3001, {255, 255, 0, 0}) << 0;
    QTest::newRow("limited broadcast") << configWith({255, 255, 255, 255}, 3001, m24) << 4;
    QTest::newRow("loopback") << configWith({127, 0, 0, 1}, 3001, {255, 0, 0, 0}) << 4;
    QTest::newRow("multicast") << configWith({224, 0, 0, 5}, 3001, m24) << 4;
    QTest::newRow("reserved") << configWith({240, 0, 0, 5}, 3001, m24) << 4;
    QTest::newRow("port 0") << configWith({10, 1, 2, 3}, 0, m24) << 4;
    QTest::newRow("port 65535") << configWith({10, 1, 2, 3}, 65535, m24) << 0;
    QTest::newRow("/31 point-to-point") << configWith({10, 1, 2, 0}, 3001, {255, 255, 255, 254}) << 0;
}

void SimulatorTest::firmwareChecksOnWrite()
{
    QFETCH(NetworkConfig, config);
    QFETCH(int, status);
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const QByteArray before = fileBytes(sim.statePath());
    WireClient client;
    QVERIFY(client.connectTo(sim.port()));
    QCOMPARE(client.handshake(), 0);
    QCOMPARE(client.write(config), status);
    const auto now = client.read();
    QVERIFY(now);
    if (status == 0) {
        QVERIFY(sameSettings(*now, config));
        QVERIFY(fileBytes(sim.statePath()) != before);
    } else {
        QVERIFY(sameSettings(*now, NetworkConfig::factory({})));
        QCOMPARE(fileBytes(sim.statePath()), before);
        QVERIFY(sim.log().contains("refused"));
    }
}

void SimulatorTest::unusableStateIsAnErrorNotAReset_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    const QByteArray sound = pnv::sim::formatState(NetworkConfig::factory({2, 0, 0, 0, 0, 1})).toUtf8();
    QByteArray missingMask = sound;
    missingMask.replace("mask = 255.255.0.0\n", "");
    QTest::newRow("empty file") << QByteArray() << "missing";
    QTest::newRow("cut short") << sound.left(sound.indexOf("\naddress") + 17) << "invalid address";
    QTest::newRow("binary junk") << QByteArray("\x00\xff\x13garbage", 10) << "line 1";
    QTest::newRow("no mask") << missingMask << "\"mask\" missing";
    QTest::newRow("port twice") << sound + "port = 3002\n" << "twice";
    QTest::newRow("octet 300") << QByteArray(sound).replace("172.16.30.1", "172.16.30.300") << "invalid address";
    QTest::newRow("port 70000") << QByteArray(sound).replace("= 3001", "= 70000") << "invalid port";
    QTest::newRow("MAC too short") << QByteArray(sound).replace("02:00:00:00:00:01", "02:00:00:00:01")
                                   << "invalid mac";
    QTest::newRow("mask with a hole") << QByteArray(sound).replace("255.255.0.0", "255.0.255.0") << "not contiguous";
    QTest::newRow("unknown key") << sound + "colour = blue\n" << "unknown key";
}

void SimulatorTest::unusableStateIsAnErrorNotAReset()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("encoder.state"));
    writeFile(path, content);

    QByteArray errors;
    QCOMPARE(runToEnd({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--state"), path}, &errors), 1);
    QVERIFY2(errors.contains(path.toUtf8()) && errors.contains(reason.toUtf8()), errors.constData());
    QCOMPARE(fileBytes(path), content);   // never silently replaced

    // The deliberate reset does replace it.
    SimulatorProcess::Options options;
    options.statePath = path;
    options.extraArguments << QStringLiteral("--factory-reset");
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QVERIFY(pnv::sim::loadState(path).config.has_value());
}

enum class StateKind { NamedPipe, Folder, LinkToNamedPipe, DanglingLink };

void SimulatorTest::stateThatIsNoRegularFileIsRefused_data()
{
    QTest::addColumn<StateKind>("kind");
    QTest::addColumn<bool>("factoryReset");
    QTest::addColumn<QString>("reason");
    const struct {
        const char *name;
        StateKind kind;
        const char *reason;
    } rows[] = {{"named pipe", StateKind::NamedPipe, "a named pipe"},
                {"folder", StateKind::Folder, "a folder"},
                {"link to a named pipe", StateKind::LinkToNamedPipe, "a named pipe"},
                {"link to nothing", StateKind::DanglingLink, "a link to nothing"}};
    for (const auto &row : rows)
        for (const bool reset : {false, true})
            QTest::addRow("%s%s", row.name, reset ? ", --factory-reset" : "")
                << row.kind << reset << QString::fromLatin1(row.reason);
}

void SimulatorTest::stateThatIsNoRegularFileIsRefused()
{
    QFETCH(StateKind, kind);
    QFETCH(bool, factoryReset);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("encoder.state"));
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    const bool linked = kind == StateKind::LinkToNamedPipe || kind == StateKind::DanglingLink;
    if (kind == StateKind::NamedPipe || kind == StateKind::LinkToNamedPipe)
        QCOMPARE(::mkfifo(QFile::encodeName(linked ? elsewhere : path).constData(), 0600), 0);
    if (kind == StateKind::Folder)
        QVERIFY(QDir().mkdir(path));
    if (linked)
        QVERIFY(QFile::link(elsewhere, path));

    // A blocking read of a pipe would never end: runToEnd's limit turns that into -1.
    QStringList arguments{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--state"), path};
    if (factoryReset)
        arguments << QStringLiteral("--factory-reset");
    QByteArray errors;
    QCOMPARE(runToEnd(arguments, &errors), 1);
    QVERIFY2(errors.contains(path.toUtf8()) && errors.contains(reason.toUtf8()), errors.constData());
    // Left as it was.
    QCOMPARE(QFileInfo(path).isSymLink(), linked);
    QVERIFY(!QFileInfo(linked ? elsewhere : path).isFile());
}

void SimulatorTest::linkedStateIsWrittenThroughTheLink()
{
    // GIVEN a state kept in another folder, reached through a link
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("kept")));
    const QString target = dir.filePath(QStringLiteral("kept/encoder.state"));
    const QString link = dir.filePath(QStringLiteral("encoder.state"));
    writeFile(target, pnv::sim::formatState(NetworkConfig::factory({2, 0, 0, 0, 0, 7})).toUtf8());
    QVERIFY(QFile::link(QStringLiteral("kept/encoder.state"), link));   // relative, as users make them

    // WHEN a configuration is written
    SimulatorProcess::Options options;
    options.statePath = link;
    SimulatorProcess sim(options);
    startAndWriteExample(sim);
    if (QTest::currentTestFailed())
        return;

    // THEN the link stays and the file it points at holds the new values
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), QFileInfo(target).absoluteFilePath());
    const auto stored = pnv::sim::loadState(target);
    QVERIFY2(stored.config, qPrintable(stored.error));
    QVERIFY(sameSettings(*stored.config, kExample));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 1);   // the link, no leftover
    QCOMPARE(QDir(dir.filePath(QStringLiteral("kept"))).entryList(QDir::Files).size(), 1);
}

void SimulatorTest::badCommandLinesAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown fault") << QStringList{"--fault", "explode"} << "unknown kind";
    QTest::newRow("fault without its code") << QStringList{"--fault", "read-status"} << "status code";
    QTest::newRow("status code 256") << QStringList{"--fault", "write-status:256"} << "status code";
    QTest::newRow("port 65536") << QStringList{"--port", "65536"} << "--port";
    QTest::newRow("listen on a name") << QStringList{"--listen", "localhost"} << "--listen";
    QTest::newRow("MAC with dashes") << QStringList{"--mac", "02-00-00-00-00-01"} << "--mac";
    QTest::newRow("state in a missing folder") << QStringList{"--state", "/nonexistent/folder/encoder.state"}
                                               << "/nonexistent/folder";
    // Whoever waits for "listening on" must not wait for ever; help that is lost is a failure.
    QTest::newRow("its output closed") << QStringList{">&-"} << "pnv3400-sim: write error: Bad file descriptor";
    QTest::newRow("--help, its output closed") << QStringList{"--help", ">&-"} << "pnv3400-sim: write error";
}

void SimulatorTest::badCommandLinesAreRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QTemporaryDir dir;
    if (!arguments.contains(QStringLiteral("--state")))
        arguments << QStringLiteral("--state") << dir.filePath(QStringLiteral("encoder.state"));
    if (!arguments.contains(QStringLiteral("--port")))
        arguments << QStringLiteral("--port") << QStringLiteral("0");
    QByteArray errors, output;
    QCOMPARE(runToEnd(arguments, &errors, &output), 1);
    QVERIFY2(errors.contains(message.toUtf8()), errors.constData());
    QVERIFY(!output.contains("listening"));
}

void SimulatorTest::killedDuringWritesNeverTearsTheState()
{
    QTemporaryDir dir;
    SimulatorProcess::Options options;
    options.statePath = dir.filePath(QStringLiteral("encoder.state"));
    options.extraArguments << QStringLiteral("--mac") << QStringLiteral("02:00:00:00:00:07");
    const NetworkConfig first = configWith({10, 1, 2, 3}, 3001, {255, 255, 255, 0});
    const NetworkConfig second = configWith({192, 168, 77, 200}, 40000, {255, 255, 0, 0}, {192, 168, 0, 1});
    const NetworkConfig factory = NetworkConfig::factory({});

    for (int round = 0; round < 24; ++round) {
        SimulatorProcess sim(options);
        // Every third round the save pauses half-way and the kill lands inside it.
        const bool killMidSave = round % 3 == 0;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (killMidSave)
            environment.insert(QStringLiteral("PNV3400_SIM_SLOW_SAVE_MS"), QStringLiteral("2000"));
        sim.process().setProcessEnvironment(environment);
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QVERIFY(!QFile::exists(pnv::sim::temporaryPath(options.statePath)));   // cleared at start
        WireClient client;
        QVERIFY(client.connectTo(sim.port()));
        QCOMPARE(client.handshake(), 0);
        // Some acknowledged writes, then one more in flight when the power goes.
        const int acknowledged = killMidSave ? 0 : static_cast<int>(QRandomGenerator::global()->bounded(4));
        for (int i = 0; i < acknowledged; ++i)
            QCOMPARE(client.write((round + i) % 2 ? first : second), 0);
        const auto record = ((round + acknowledged) % 2 ? first : second).requestBytes();
        const QByteArray before = fileBytes(options.statePath);
        QVERIFY(client.send(wire::MessageType::Write, {record.begin(), record.end()}, 900));
        if (killMidSave) {
            // The save has begun once anything on disk has changed.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(pnv::sim::temporaryPath(options.statePath)).size() > 0
                                         || fileBytes(options.statePath) != before,
                                     5000);
        } else if (round % 3 == 1) {
            client.socket.waitForReadyRead(1000);   // just after the save rather than during it
        }
        sim.kill();

        const auto loaded = pnv::sim::loadState(options.statePath);
        QVERIFY2(loaded.config, qPrintable(QStringLiteral("round %1: %2").arg(round).arg(loaded.error)));
        QVERIFY(sameSettings(*loaded.config, first) || sameSettings(*loaded.config, second)
                || sameSettings(*loaded.config, factory));
        QCOMPARE(loaded.config->mac, (tessalin::MacAddress{2, 0, 0, 0, 0, 7}));
    }
}

// Stops the simulator process for the life of this object, as an overloaded
// machine would: what arrives meanwhile is seen all at once when it resumes.
class Frozen final {
public:
    explicit Frozen(SimulatorProcess &sim) : m_pid(static_cast<pid_t>(sim.process().processId()))
    {
        ::kill(m_pid, SIGSTOP);
    }
    ~Frozen() { ::kill(m_pid, SIGCONT); }
    Frozen(const Frozen &) = delete;
    Frozen &operator=(const Frozen &) = delete;

private:
    pid_t m_pid;
};

enum class Holders { IdleAfterHandshake, SilentWithoutHandshake, GoneUnnoticed };

void SimulatorTest::fullSimulatorStillServesANewcomer_data()
{
    QTest::addColumn<Holders>("holders");
    QTest::newRow("64 idle after the handshake") << Holders::IdleAfterHandshake;
    QTest::newRow("64 silent without a handshake") << Holders::SilentWithoutHandshake;
    QTest::newRow("64 gone before the simulator noticed") << Holders::GoneUnnoticed;
}

void SimulatorTest::fullSimulatorStillServesANewcomer()
{
    QFETCH(Holders, holders);
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));

    // GIVEN every session slot taken
    std::vector<std::unique_ptr<WireClient>> holding;
    for (int i = 0; i < 64; ++i) {
        holding.push_back(std::make_unique<WireClient>());
        QVERIFY(holding.back()->connectTo(sim.port()));
        if (holders != Holders::SilentWithoutHandshake)
            QCOMPARE(holding.back()->handshake(), 0);
    }
    QTRY_COMPARE(sim.log().count(" connected\n"), 64);

    // WHEN a newcomer arrives (for the last row: just after the holders left,
    // all seen by the simulator in the same instant)
    WireClient newcomer;
    if (holders == Holders::GoneUnnoticed) {
        Frozen frozen(sim);
        for (auto &client : holding)
            client->socket.abort();
        QVERIFY(newcomer.connectTo(sim.port()));   // the kernel completes it from the listen queue
    } else {
        QVERIFY(newcomer.connectTo(sim.port()));
    }

    // THEN it is served well within a caller's time budget
    QCOMPARE(newcomer.handshake(), 0);
    QVERIFY(newcomer.read());
}

void SimulatorTest::burstWaitsInTheListenQueue()
{
    // The kernel caps every listen queue at net.core.somaxconn (4096 by default, in a new namespace too).
    QFile cap(QStringLiteral("/proc/sys/net/core/somaxconn"));
    const int somaxconn = cap.open(QIODevice::ReadOnly) ? cap.readAll().trimmed().toInt() : 4096;
    if (somaxconn < 128)
        QSKIP("net.core.somaxconn is below 128 here: no burst larger than Qt's default queue could wait");
    const int kBurst = std::min(300, somaxconn);
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    std::vector<int> fds;
    const auto closeAll = qScopeGuard([&] {
        for (const int fd : fds)
            ::close(fd);
    });
    {
        // GIVEN a simulator too busy to accept, WHEN a burst of clients connects
        Frozen frozen(sim);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(sim.port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < kBurst; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            QVERIFY(fd >= 0);
            fds.push_back(fd);
            const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
            QVERIFY(rc == 0 || errno == EINPROGRESS);
        }
        // THEN every connection is completed by the kernel and waits for its turn:
        // none is dropped to be retried a second later.
        std::vector<pollfd> waits;
        for (const int fd : fds)
            waits.push_back({fd, POLLOUT, 0});
        QDeadlineTimer deadline(3000);
        int connected = 0;
        while (connected < kBurst && !deadline.hasExpired()) {
            ::poll(waits.data(), waits.size(), static_cast<int>(deadline.remainingTime()));
            for (auto &wait : waits) {
                int error = 0;
                socklen_t size = sizeof error;
                if (wait.events && (wait.revents & POLLOUT)
                    && ::getsockopt(wait.fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
                    ++connected;
                    wait.events = 0;   // counted; no longer polled
                }
            }
        }
        QCOMPARE(connected, kBurst);
    }
}

enum class Hostility { Garbage, OversizedLength, ByteAtATime, ByteAtATimeAfterHandshake, Silence, NeverReads };

void SimulatorTest::hostileClientDoesNotStopOthers_data()
{
    QTest::addColumn<Hostility>("hostility");
    QTest::newRow("garbage") << Hostility::Garbage;
    QTest::newRow("oversized length") << Hostility::OversizedLength;
    QTest::newRow("a byte at a time") << Hostility::ByteAtATime;
    QTest::newRow("a byte at a time after the handshake") << Hostility::ByteAtATimeAfterHandshake;
    QTest::newRow("silence") << Hostility::Silence;
    QTest::newRow("requests without reading the answers") << Hostility::NeverReads;
}

void SimulatorTest::hostileClientDoesNotStopOthers()
{
    QFETCH(Hostility, hostility);
    SimulatorProcess::Options options;
    options.extraArguments << QStringLiteral("--client-timeout") << QStringLiteral("400");
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));

    WireClient hostile;
    QVERIFY(hostile.connectTo(sim.port()));
    const auto hello = wire::encodeFrame({static_cast<std::uint8_t>(wire::MessageType::Hello), 1, {0, 0, 0, 14}});
    const auto readRequest = wire::encodeFrame({static_cast<std::uint8_t>(wire::MessageType::Read), 2, {}});
    QByteArray trickle;
    switch (hostility) {
    case Hostility::Garbage:
        QVERIFY(hostile.sendRaw(QByteArray(100, '\xE7')));
        break;
    case Hostility::OversizedLength:
        QVERIFY(hostile.sendRaw(QByteArray::fromHex("504E01010001FFFF00000000") + QByteArray(60, 'x')));
        break;
    case Hostility::ByteAtATime:
        trickle = QByteArray(reinterpret_cast<const char *>(hello.data()), static_cast<qsizetype>(hello.size()));
        break;
    case Hostility::ByteAtATimeAfterHandshake:
        QCOMPARE(hostile.handshake(), 0);
        trickle = QByteArray(reinterpret_cast<const char *>(readRequest.data()),
                             static_cast<qsizetype>(readRequest.size()));
        break;
    case Hostility::Silence:
        break;
    case Hostility::NeverReads: {
        QCOMPARE(hostile.handshake(), 0);
        // Far more answers than the simulator will hold for one client (each is 39 bytes, the kernel buffers hold a few MB).
        hostile.socket.setReadBufferSize(1);
        QByteArray flood;
        for (int i = 0; i < 500000; ++i)
            flood.append(reinterpret_cast<const char *>(readRequest.data()),
                         static_cast<qsizetype>(readRequest.size()));
        hostile.socket.write(flood);
        break;
    }
    }
    if (!trickle.isEmpty())
        QVERIFY(hostile.sendRaw(trickle.left(1)));

    // A well-behaved client is answered meanwhile.
    WireClient good;
    QVERIFY(good.connectTo(sim.port()));
    QCOMPARE(good.handshake(), 0);
    QVERIFY(good.read().has_value());

    // The hostile one is dropped within its bound: at once for damage, after
    // the client time-out for slowness. A trickle gets a byte every 100 ms
    // and would need far longer than the time-out to finish its frame.
    bool dropped = false;
    for (int i = 1; i < trickle.size() && !dropped; ++i) {
        dropped = hostile.waitForDrop(100);
        if (!dropped)
            hostile.sendRaw(trickle.mid(i, 1));
    }
    if (hostility == Hostility::NeverReads) {
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains("does not read its answers"), 20000);
        dropped = true;
    }
    QVERIFY(dropped || hostile.waitForDrop(5000));
    QVERIFY(sim.log().contains("dropped"));

    // And the simulator still serves.
    WireClient later;
    QVERIFY(later.connectTo(sim.port()));
    QCOMPARE(later.handshake(), 0);
    QVERIFY(good.read().has_value());
}

void SimulatorTest::modeOtherThan14IsRefused()
{
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    WireClient client;
    QVERIFY(client.connectTo(sim.port()));
    QCOMPARE(client.handshake(13), 4);
    QVERIFY(client.waitForDrop());
}

void SimulatorTest::endsCleanlyOnSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void SimulatorTest::endsCleanlyOnSignals()
{
    QFETCH(int, signalNumber);
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    WireClient client;   // a linked client does not hold the simulator up
    QVERIFY(client.connectTo(sim.port()));
    QCOMPARE(client.handshake(), 0);
    QCOMPARE(::kill(static_cast<pid_t>(sim.process().processId()), signalNumber), 0);
    QVERIFY(sim.process().waitForFinished(5000));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(client.waitForDrop());
}

QTEST_GUILESS_MAIN(SimulatorTest)
#include "tst_simulator.moc"
