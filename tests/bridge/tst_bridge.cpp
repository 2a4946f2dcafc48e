// The Wine bridge: the binding's choice by file header and its refusals, then
// our stand-in Tessalin.DLL (x86 and x64) and the misbehaving test DLLs served
// through Wine to the binding, to pnv3400ctl and to the window. The Wine
// prefix is made once per run by the wine_prefix fixture (WINEPREFIX).

#include "BridgeFrame.h"
#include "ConfigRecords.h"
#include "CtlProcess.h"
#include "SimulatorProcess.h"
#include "WindowFixture.h"
#include "tessalin_bridge.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressDialog>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <future>
#include <mutex>

using pnv::test::readFile;
using pnv::test::runCtl;
using pnv::test::SimulatorProcess;
using pnv::test::WindowFixture;
using pnv::test::writeFile;

namespace {

QString binDir() { return qEnvironmentVariable("PNV_BIN_DIR"); }
QString windowsDll(const QString &arch, const QString &variant = {})
{
    return QStringLiteral(PNV_BUILD_DIR "/windows/") + arch + u'/' + (variant.isEmpty() ? QString() : variant + u'/')
           + QStringLiteral("Tessalin.DLL");
}

// Sets an environment variable for one scope; a null value leaves it as it is.
struct EnvOverride final {
    EnvOverride(const char *name, const QByteArray &value) : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name))
    {
        if (!value.isNull())
            qputenv(name, value);
    }
    ~EnvOverride() { had ? qputenv(name, old) : qunsetenv(name); }
    const char *name;
    bool had;
    QByteArray old;
};

bool wineReady() { return qEnvironmentVariableIsSet("WINEPREFIX") && QFile::exists(windowsDll("x64")); }
#define REQUIRE_WINE() \
    do { if (!wineReady()) QSKIP("needs the Wine prefix of the wine_prefix fixture and the mingw-w64 build"); } while (0)

// The children of `tasks` (a /proc/PID/task folder) whose command line holds `name`.
QList<pid_t> childrenNamed(const QString &tasks, const char *name)
{
    QList<pid_t> found;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const QByteArray &pid : readFile(tasks + QStringLiteral("/%1/children").arg(task)).split(' '))
            if (!pid.trimmed().isEmpty()
                && readFile(QStringLiteral("/proc/%1/cmdline").arg(QString::fromLatin1(pid.trimmed()))).contains(name))
                found << pid.trimmed().toInt();
    return found;
}

// The host processes this test started through the bridge.
QList<pid_t> hostProcesses() { return childrenNamed(QStringLiteral("/proc/self/task"), "tessalin-host"); }

} // namespace

class BridgeTest final : public QObject {
    Q_OBJECT
private slots:
    void framingRoundTrip();
    void refusals_data();
    void refusals();
    void linuxLibraryNamedDllBindsNatively();
    void notARegularFile_data();
    void notARegularFile();
    void pathsInAnyScript();
    void vendorLikeDll_data() { ctlThroughWine_data(); }
    void vendorLikeDll();
    void stdcallDllOnX86();
    void nothingOutlivesAHungEnd();
    void twoBindingsOneProcess();
    void slotsRunOut();
    void hostEndedWhileIdle_data();
    void hostEndedWhileIdle();
    void failuresSayWhat_data();
    void failuresSayWhat();
    void slowCallsWaitedFor();
    void vendorMessageBox_data() { ctlThroughWine_data(); }
    void vendorMessageBox();
    void vendorMessageBoxOnADisplay();
    void messagesServedOnceUser32Loads_data() { ctlThroughWine_data(); }
    void messagesServedOnceUser32Loads();
    void ownFolderAndChangedDll();
    void callEnds_data();
    void callEnds();
    void ctlThroughWine_data();
    void ctlThroughWine();
    void applyWorkerKilledRowIsReadBack();
    void windowThroughWine_data() { ctlThroughWine_data(); }
    void windowThroughWine();
    void windowOnANewWinePrefix();
};

void BridgeTest::framingRoundTrip()
{
    namespace bridge = pnv::winebridge;
    bridge::CallRequest write;
    write.type = bridge::Type::Write;
    write.budgetMs = 500;
    write.capacity = 500;
    write.bytes.assign(500, 0x5a);
    const auto bytes = bridge::encode(bridge::encodeCall(write));
    // Byte by byte, as a pipe may deliver it.
    bridge::Decoder decoder;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        QCOMPARE(decoder.state(), bridge::Decoder::State::NeedMore);
        QCOMPARE(decoder.feed(&bytes[i], 1), std::size_t(1));
    }
    QCOMPARE(decoder.state(), bridge::Decoder::State::FrameReady);
    bridge::CallRequest back;
    QVERIFY(bridge::decodeCall(decoder.take(), back));
    QCOMPARE(back.capacity, 500);
    QCOMPARE(back.budgetMs, 500);
    QVERIFY(back.bytes == write.bytes);
    // A capacity that does not match the bytes sent is refused.
    auto frame = bridge::encodeCall(write);
    frame.payload.pop_back();
    QVERIFY(!bridge::decodeCall(frame, back));
    // A length above the bound is refused from the header alone.
    const std::uint8_t huge[] = {'T', 'B', 0x81, 0, 0xff, 0xff, 0, 0};
    bridge::Decoder early;
    early.feed(huge, sizeof huge);
    QCOMPARE(early.state(), bridge::Decoder::State::Malformed);
}

void BridgeTest::refusals_data()
{
    QTest::addColumn<QByteArray>("bytes");    // the file handed to the binding
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QByteArray>("path");     // PATH for the binding (null: the test's own)
    QTest::addColumn<QByteArray>("prefix");   // WINEPREFIX in the test's folder (null: the fixture's)
    const auto row = [](const char *name, const QByteArray &bytes, const char *expected, const QByteArray &path = {},
                        const QByteArray &prefix = {}) {
        QTest::newRow(name) << bytes << QString::fromLatin1(expected) << path << prefix;
    };
    const QByteArray good = readFile(windowsDll("x64"));
    QByteArray arm64 = good;
    if (good.size() > 0x40) {
        const quint32 pe = qFromLittleEndian<quint32>(good.constData() + 0x3c);
        arm64[pe + 4] = char(0x64);
        arm64[pe + 5] = char(0xaa);
    }
    row("truncated PE", good.left(300), "truncated or damaged Windows DLL");
    row("neither ELF nor PE", "S_Connect S_Disconnect ConfigRead ConfigWrite DLLClose\n",
        "neither a Linux library (ELF) nor a Windows DLL (PE)");
    row("wrong machine type", arm64, "for another machine (type 0xaa64)");
    row("a program, not a DLL", readFile(binDir() + QStringLiteral("/tessalin-host64.exe")), "a Windows program, not a DLL");
    row("ConfigWrite missing", readFile(windowsDll("x64", QStringLiteral("no-write"))), "entry point 'ConfigWrite' not found");
    row("decorated __stdcall names", readFile(windowsDll("x86", QStringLiteral("stdcall-decorated"))),
        "entry point 'S_Connect' not found (it exports 'S_Connect@12', a decorated __stdcall name)");
    row("exports by ordinal only", readFile(windowsDll("x64", QStringLiteral("ordinals"))),
        "entry point 'S_Connect' not found (it exports 5 functions by ordinal only, no names");
    row("Wine not installed", good, "needs Wine, which is not installed (install the package wine", "/nonexistent");
    row("prefix not writable", good, "is not writable (set WINEPREFIX", {}, "plain-file/prefix");
    row("prefix under a program", good, "is not writable (set WINEPREFIX", {}, "/bin/sh/prefix");
    row("prefix of another user", good, "belongs to another user (set WINEPREFIX", {}, "other-user");
}

void BridgeTest::refusals()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, prefix);
    if (!QFile::exists(windowsDll("x64")))
        QSKIP("the mingw-w64 build of Tessalin.DLL is missing");
    QTemporaryDir dir;
    const QString dll = dir.filePath(QStringLiteral("Tessalin.DLL"));
    QVERIFY(writeFile(dll, bytes));
    if (!prefix.isNull()) {   // under a plain file no folder can be made
        QVERIFY(writeFile(dir.filePath(QStringLiteral("plain-file")), "x"));
        if (!prefix.startsWith('/'))
            prefix = QFile::encodeName(dir.filePath(QString::fromLatin1(prefix)));
        // A folder of someone else's: made so by root, or the root folder for anyone else.
        if (prefix.endsWith("other-user")) {
            QVERIFY(QDir().mkdir(QString::fromLocal8Bit(prefix)));
            if (::geteuid() != 0)
                prefix = "/";
            else
                QCOMPARE(::chown(prefix.constData(), 65534, 65534), 0);
        }
    }
    const EnvOverride pathOverride("PATH", path);
    const EnvOverride prefixOverride("WINEPREFIX", prefix);

    const auto bound = pnv::TessalinLibrary::loadFrom(dll.toStdString());
    QVERIFY(!bound.library);
    const QString error = QString::fromStdString(bound.error);
    QVERIFY2(error.startsWith(dll + u':'), qPrintable(error));   // every message names the file
    QVERIFY2(error.contains(expected), qPrintable(error));
    QVERIFY(hostProcesses().isEmpty());   // refused before any Wine process starts
}

void BridgeTest::linuxLibraryNamedDllBindsNatively()
{
    // Without any Wine on the PATH: the header decides, not the name.
    QTemporaryDir dir;
    const QString dll = dir.filePath(QStringLiteral("Tessalin.DLL"));
    QVERIFY(QFile::copy(binDir() + QStringLiteral("/libtessalin.so"), dll));
    const EnvOverride pathOverride("PATH", dir.path().toLocal8Bit());
    const auto bound = pnv::TessalinLibrary::loadFrom(dll.toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QCOMPARE(bound.library->api().S_Connect("127.0.0.1", 14, sim.port()), 0);
    bound.library->api().DLLClose();
    QVERIFY(hostProcesses().isEmpty());
}

void BridgeTest::notARegularFile_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("a FIFO") << "fifo";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a device") << "/dev/zero";
}

void BridgeTest::notARegularFile()
{
    QFETCH(QString, what);
    QTemporaryDir dir;
    QString path = what;
    if (what == QLatin1String("fifo")) {
        path = dir.filePath(QStringLiteral("Tessalin.DLL"));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (what == QLatin1String("folder")) {
        path = dir.path();
    }
    // Refused by what the path is, before anything reads it: a FIFO with no
    // writer would otherwise hold the binding for ever, a device feed it without end.
    auto bound = std::async(std::launch::async, [&] { return pnv::TessalinLibrary::loadFrom(path.toStdString()); });
    QCOMPARE(bound.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto result = bound.get();
    QVERIFY(!result.library);
    QCOMPARE(QString::fromStdString(result.error), path + QStringLiteral(": not a regular file"));
}

void BridgeTest::pathsInAnyScript()
{
    REQUIRE_WINE();
    QTemporaryDir dir;
    const QByteArray dll = readFile(windowsDll(QStringLiteral("x64")));
    // A folder name in Latin-1 is no text Wine can open: refused at binding, the byte named.
    const std::string latin1 = QFile::encodeName(dir.path()).toStdString() + "/Ger\xe4t";
    QCOMPARE(::mkdir(latin1.c_str(), 0700), 0);
    const std::string latin1Dll = latin1 + "/Tessalin.DLL";
    const auto removeLatin1 = qScopeGuard([&] { ::unlink(latin1Dll.c_str()); ::rmdir(latin1.c_str()); });
    QVERIFY(std::ofstream(latin1Dll, std::ios::binary).write(dll.constData(), dll.size()).good());
    const auto refused = pnv::TessalinLibrary::loadFrom(latin1Dll);
    QVERIFY(!refused.library);
    QVERIFY2(refused.error.find("its path holds the byte 0xE4 at position") != std::string::npos, refused.error.c_str());
    QVERIFY(hostProcesses().isEmpty());

    // The locale is the caller's: under C a DLL would read '?' for a Cyrillic
    // folder name, and binding says so, naming the character.
    const QByteArray own = readFile(windowsDll(QStringLiteral("x64"), QStringLiteral("own-folder")));
    const auto placeIn = [&dir, &own](const QString &name) {
        const QString folder = dir.filePath(name);
        return QDir().mkdir(folder) && writeFile(folder + QStringLiteral("/Tessalin.DLL"), own)
                       && writeFile(folder + QStringLiteral("/Tessalin.ini"), "[encoder]\n")
                   ? folder + QStringLiteral("/Tessalin.DLL")
                   : QString();
    };
    const QString cyrillic = placeIn(QStringLiteral("\u0444\u0430\u0439\u043b"));
    const QString umlaut = placeIn(QStringLiteral("Ger\u00e4t"));
    QVERIFY(!cyrillic.isEmpty() && !umlaut.isEmpty());
    {
        const EnvOverride locale("LC_ALL", "C");
        const auto refusedUnderC = pnv::TessalinLibrary::loadFrom(cyrillic.toStdString());
        QVERIFY(!refusedUnderC.library);
        QVERIFY2(refusedUnderC.error.find("its path holds '\xd1\x84' (U+0444), and under the locale C") != std::string::npos,
                 refusedUnderC.error.c_str());
    }

    // Under a Russian locale the Cyrillic folder reaches the DLL intact (it
    // finds the file beside itself by its own ANSI path), and a German
    // umlaut, which code page 1251 lacks, is refused, named.
    QTemporaryDir locales;
    QProcess localedef;
    localedef.start(QStringLiteral("localedef"), {QStringLiteral("-i"), QStringLiteral("ru_RU"), QStringLiteral("-f"),
                                                  QStringLiteral("UTF-8"), locales.filePath(QStringLiteral("ru_RU.UTF-8"))});
    if (!localedef.waitForFinished(60000) || !QFileInfo(locales.filePath(QStringLiteral("ru_RU.UTF-8"))).isDir())
        QSKIP("localedef cannot make the ru_RU.UTF-8 locale");
    const EnvOverride path("LOCPATH", QFile::encodeName(locales.path()));
    const EnvOverride locale("LC_ALL", "ru_RU.UTF-8");
    const auto umlautRefused = pnv::TessalinLibrary::loadFrom(umlaut.toStdString());
    QVERIFY(!umlautRefused.library);
    QVERIFY2(umlautRefused.error.find("its path holds '\xc3\xa4' (U+00E4), which the Windows code page of the locale ru_RU.UTF-8 (1251) cannot express")
                 != std::string::npos,
             umlautRefused.error.c_str());
    const auto bound = pnv::TessalinLibrary::loadFrom(cyrillic.toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    // 0x75: its own folder, by GetModuleFileNameA, came with '?' for the Cyrillic letters
    QCOMPARE(bound.library->api().S_Connect("127.0.0.1", 14, 1), 0);
    bound.library->api().DLLClose();
}

void BridgeTest::vendorLikeDll()
{
    QFETCH(QString, arch);
    REQUIRE_WINE();
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(arch, QStringLiteral("vendor")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    struct Log {
        std::mutex lock;
        QStringList lines;
    } log;
    bound.library->setBridgeLog([](void *context, const char *line) {
        auto *to = static_cast<Log *>(context);
        std::lock_guard<std::mutex> lock(to->lock);
        to->lines << QString::fromUtf8(line);
    }, &log);
    const auto logged = [&log](const QString &line) {
        std::lock_guard<std::mutex> lock(log.lock);
        return log.lines.contains(line);
    };
    const auto &api = bound.library->api();

    // WHEN it prints, reads its input, and checks its thread and its window's message in every call
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    for (int i = 0; i < 3; ++i) {
        std::uint8_t buffer[500] = {};
        const std::int32_t count = api.ConfigRead(buffer, 500);
        // 1 with 0x71 or 0x72 in byte 0: a check failed
        QVERIFY2(count == 26 && buffer[0] == 0x42,
                 qPrintable(QStringLiteral("read %1: count %2, byte 0 0x%3").arg(i).arg(count).arg(buffer[0], 0, 16)));
    }
    std::uint8_t write[500] = {};
    QCOMPARE(api.ConfigWrite(write, 500), 1);
    QCOMPARE(int(write[0]), 0);

    // THEN every call worked, and what it printed reached the log, each line with its name in front
    QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("Tessalin.DLL: vendor debug: ConfigWrite")), 5000);
    QVERIFY(logged(QStringLiteral("Tessalin.DLL: vendor trace: ConfigRead")));
    // the controls and the direction mark escaped, as the project's messages show them
    QVERIFY(logged(QStringLiteral("Tessalin.DLL: vendor colour: \\u001b[31mred\\u001b[0m \\u202e")));
    // AND the timer ConfigWrite set is served while no call comes
    QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("Tessalin.DLL: vendor idle: timer served")), 5000);
    api.DLLClose();
    bound.library->setBridgeLog(nullptr, nullptr);

    // AND pnv3400ctl shows those lines, marked, with --verbose only
    const auto dll = pnv::test::environmentWith(QStringLiteral("TESSALIN_LIBRARY"), windowsDll(arch, QStringLiteral("vendor")));
    for (const bool verbose : {true, false}) {
        const QStringList arguments = verbose ? QStringList{QStringLiteral("--verbose"), QStringLiteral("read")}
                                              : QStringList{QStringLiteral("read")};
        const pnv::test::CtlRun read = runCtl(QStringList{QStringLiteral("--encoder"), QStringLiteral("127.0.0.1:1")} + arguments,
                                              dll, 60000);
        QCOMPARE(read.err.contains("pnv3400ctl: Tessalin.DLL: vendor trace: ConfigRead"), verbose);
        QVERIFY2(!read.out.contains("vendor"), read.out.constData());
    }
}

void BridgeTest::stdcallDllOnX86()
{
    REQUIRE_WINE();
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(QStringLiteral("x86"), QStringLiteral("stdcall")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    const auto &api = bound.library->api();
    // Each call would leave the host's stack 8 or 12 bytes off without the
    // thunk: far fewer calls than these crash it.
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    for (int i = 0; i < 50; ++i) {
        std::uint8_t buffer[500] = {};
        QCOMPARE(api.ConfigRead(buffer, 500), 26);
        QCOMPARE(api.ConfigWrite(buffer, 500), 1);
        api.S_Disconnect();
    }
    QCOMPARE(hostProcesses().size(), 1);
    api.DLLClose();
}

void BridgeTest::nothingOutlivesAHungEnd()
{
    REQUIRE_WINE();
    auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(QStringLiteral("x64"), QStringLiteral("hang-close")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    QCOMPARE(bound.library->api().S_Connect("127.0.0.1", 14, 1), 0);
    const QList<pid_t> hosts = hostProcesses();
    QCOMPARE(hosts.size(), 1);

    // WHEN its S_Connect started a child, and its detach never returns as the program lets the library go
    const auto child = [] {   // the DLL's child, found by what it runs
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
            if (readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains("WaitForEver"))
                return pid.toInt();
        return 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(child() != 0, 20000);
    const int started = child();
    QElapsedTimer clock;
    clock.start();
    bound.library->api().DLLClose();
    bound.library.reset();

    // THEN within the bound of 3 s (and a loaded machine's slack) the host and the DLL's child are gone
    QVERIFY2(clock.elapsed() < 3000 + 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(hostProcesses().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(readFile(QStringLiteral("/proc/%1/cmdline").arg(started)).isEmpty(), 5000);
}

void BridgeTest::twoBindingsOneProcess()
{
    REQUIRE_WINE();
    // GIVEN two encoders with MACs of their own, and two DLLs bound in this one process
    const QStringList macs{QStringLiteral("02:00:00:00:00:31"), QStringLiteral("02:00:00:00:00:64")};
    const QStringList arches{QStringLiteral("x86"), QStringLiteral("x64")};
    std::vector<std::unique_ptr<SimulatorProcess>> sims;
    std::vector<std::unique_ptr<pnv::TessalinLibrary>> libraries;
    for (int i = 0; i < 2; ++i) {
        SimulatorProcess::Options options;
        options.extraArguments << QStringLiteral("--mac") << macs[i];
        sims.push_back(std::make_unique<SimulatorProcess>(options));
        QVERIFY2(sims.back()->start(), qPrintable(sims.back()->errorString()));
        // The second as a check-only binding does: its host waits for its first connect.
        auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(arches[i]).toStdString(),
                                                    i ? pnv::TessalinLibrary::HostStart::AtFirstConnect
                                                      : pnv::TessalinLibrary::HostStart::AtBinding);
        QVERIFY2(bound.library, bound.error.c_str());
        libraries.push_back(std::move(bound.library));
    }
    QCOMPARE(hostProcesses().size(), 1);
    const auto macRead = [&libraries](int i) {
        std::uint8_t buffer[500] = {};
        const std::int32_t n = libraries[i]->api().ConfigRead(buffer, 500);
        return n == TESSALIN_CONFIG_REPLY_SIZE ? pnv::formatMacText(buffer) : QStringLiteral("status %1").arg(buffer[0]);
    };
    const auto expected = [&macs](int i) { return QString(macs[i]).toUpper().replace(u':', QStringLiteral(" - ")); };

    // WHEN each connects to its own encoder, the second after the first
    for (int i = 0; i < 2; ++i)
        QCOMPARE(libraries[i]->api().S_Connect("127.0.0.1", 14, sims[i]->port()), 0);

    // THEN each reads its own encoder's MAC, through a host of its own
    QCOMPARE(hostProcesses().size(), 2);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(macRead(i), expected(i));

    // AND letting the first go ends its host only: the second still reads its own encoder
    libraries[0]->api().DLLClose();
    libraries[0].reset();
    QTRY_COMPARE_WITH_TIMEOUT(hostProcesses().size(), 1, 5000);
    QCOMPARE(macRead(1), expected(1));
    libraries[1]->api().DLLClose();
}

// Run by itself (bridge_idle_cpu, RUN_SERIAL), never beside the rest of this
// suite, whose hosts would wake the machine it measures.
class BridgeIdleTest final : public QObject {
    Q_OBJECT
private slots:
    void idleUsesNoCpu_data();
    void idleUsesNoCpu();
};

void BridgeIdleTest::idleUsesNoCpu_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<QString>("variant");
    QTest::newRow("x64, channel read directly") << "x64" << "answering";
    QTest::newRow("x86, message queue served") << "x86" << "answering-windowed";
}

// A host bound and linked but left alone, as the window idling all day through
// the bridge, never wakes: no thread of it is switched in (the counters of
// /proc/PID/task/*/status) nor takes a clock tick over a few seconds, so it
// sends the prefix's wineserver nothing either. (The wineserver itself takes
// a tick every few seconds with or without our host: Wine's own services.)
// Its own test run alone (bridge_idle_cpu), on a machine as quiet as it gets.
void BridgeIdleTest::idleUsesNoCpu()
{
    QFETCH(QString, arch);
    QFETCH(QString, variant);
    REQUIRE_WINE();
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(arch, variant).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    const auto &api = bound.library->api();
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    std::uint8_t buffer[500] = {};
    QCOMPARE(api.ConfigRead(buffer, 500), 26);
    const QList<pid_t> hosts = hostProcesses();
    QCOMPARE(hosts.size(), 1);
    // Per thread of the host: its context switches, and its clock ticks (utime
    // and stime, fields 14 and 15 of stat, counted after the name in parentheses).
    const auto wakes = [host = hosts.first()] {
        QMap<QString, QPair<qint64, qint64>> threads;
        const QString tasks = QStringLiteral("/proc/%1/task").arg(host);
        for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            qint64 switches = 0;
            for (const QByteArray &line : readFile(tasks + u'/' + task + QStringLiteral("/status")).split('\n'))
                if (line.contains("ctxt_switches:"))
                    switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            const QByteArray stat = readFile(tasks + u'/' + task + QStringLiteral("/stat"));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            threads[task] = {switches, fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1};
        }
        return threads;
    };
    // The call's reply is sent a moment before its thread goes back to sleep,
    // and a host started with a new wineserver hears from Wine's services
    // for a while as they start: a quiet second first.
    QMap<QString, QPair<qint64, qint64>> before = wakes();
    for (int second = 0; second < 30; ++second) {
        QTest::qSleep(1000);
        if (std::exchange(before, wakes()) == before)
            break;
    }
    QVERIFY(before.size() >= 2);   // the loading thread and the notices' at least

    // WHEN nothing is called for three seconds (the interval measured, not a synchronisation)
    QTest::qSleep(3000);

    // THEN no thread of the host woke
    QCOMPARE(wakes(), before);
    api.DLLClose();
}

void BridgeTest::slotsRunOut()
{
    REQUIRE_WINE();
    // GIVEN every slot taken by check-only bindings, which start no host
    std::vector<std::unique_ptr<pnv::TessalinLibrary>> libraries;
    const std::string dll = windowsDll(QStringLiteral("x64")).toStdString();
    const auto bind = [&dll] { return pnv::TessalinLibrary::loadFrom(dll, pnv::TessalinLibrary::HostStart::AtFirstConnect); };
    for (int i = 0; i < TESSALIN_BRIDGE_SLOTS; ++i) {
        auto bound = bind();
        QVERIFY2(bound.library, bound.error.c_str());
        libraries.push_back(std::move(bound.library));
    }
    QVERIFY(hostProcesses().isEmpty());

    // WHEN one more is bound, THEN it is refused, saying why
    const auto refused = bind();
    QVERIFY(!refused.library);
    QCOMPARE(QString::fromStdString(refused.error),
             QStringLiteral("%1: cannot be bound: %2 Windows DLLs are bound in this program already, the most it can hold at once")
                 .arg(QString::fromStdString(dll)).arg(TESSALIN_BRIDGE_SLOTS));

    // AND a slot let go is free again
    libraries.pop_back();
    QVERIFY2(bind().library, "a released slot was not free again");
}

void BridgeTest::hostEndedWhileIdle_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<int>("signal");
    QTest::newRow("x64 SIGKILL") << "x64" << int(SIGKILL);
    QTest::newRow("x86 SIGTERM") << "x86" << int(SIGTERM);
    QTest::newRow("x64, a thread of the DLL's own crashes") << "x64" << 0;
}

void BridgeTest::hostEndedWhileIdle()
{
    QFETCH(QString, arch);
    QFETCH(int, signal);
    REQUIRE_WINE();
    // Signal 0: the DLL's own thread ends the host, a moment after S_Connect.
    const auto bound = pnv::TessalinLibrary::loadFrom(
        windowsDll(arch, signal ? QStringLiteral("answering") : QStringLiteral("thread-crash")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    const auto &api = bound.library->api();
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    const QList<pid_t> hosts = hostProcesses();
    QCOMPARE(hosts.size(), 1);

    // WHEN the host ends between calls
    if (signal)
        QCOMPARE(::kill(hosts.first(), signal), 0);
    QTRY_VERIFY_WITH_TIMEOUT(hostProcesses().isEmpty(), 10000);

    // THEN the call that finds it gone fails as a lost link, and the next connect brings a new host
    std::uint8_t buffer[500] = {};
    QCOMPARE(api.ConfigRead(buffer, 500), 1);
    QCOMPARE(int(buffer[0]), int(TESSALIN_LINK_DOWN));
    const auto said = pnv::TessalinLibrary::lastFailure();
    QCOMPARE(int(said.kind), int(pnv::TessalinLibrary::Failure::Kind::Library));
    // Ended between calls, or (noticed only once the read was sent) during it: named, with how it ended.
    const char *expected = signal ? ": its Wine host ended " : ": the device library crashed in a thread of its own, ";
    QVERIFY2(said.text.find(expected) != std::string::npos
                 && said.text.find(signal ? "signal" : "between calls (exception 0xC0000005)") != std::string::npos,
             said.text.c_str());
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    QCOMPARE(api.ConfigRead(buffer, 500), 26);
    QCOMPARE(hostProcesses().size(), 1);
    QVERIFY(hostProcesses().first() != hosts.first());
    api.DLLClose();
}

void BridgeTest::failuresSayWhat_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<QString>("variant");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("status");   // the window's status text after connect and read, as with any link failure
    QTest::addColumn<int>("kind");         // what TessalinLibrary::lastFailure() says it was
    const int library = int(pnv::TessalinLibrary::Failure::Kind::Library);
    QTest::newRow("x64 crash") << "x64" << "crash-read" << "the device library crashed in ConfigRead (exception 0xC0000005) on thread"
                               << " Server Disconnect " << library;
    QTest::newRow("x86 crash") << "x86" << "crash-read" << "the device library crashed in ConfigRead (exception 0xC0000005) on thread"
                               << " Server Disconnect " << library;
    QTest::newRow("x64 crash, its exception filter removed")
        << "x64" << "crash-unfiltered" << "the device library crashed in ConfigRead (exception 0xC0000005) on thread"
        << " Server Disconnect " << library;
    QTest::newRow("x86 a function Wine lacks")
        << "x86" << "wine-stub"
        << "the device library called msvcp140.dll's function ?_Xlength_error@std@@YAXPEBD@Z in S_Connect, which this "
           "Wine does not have (Microsoft's Visual C++ runtime: install it into the Wine prefix with winetricks vcrun2022)"
        << " Server Disconnect " << library;
    QTest::newRow("x86 DllMain fails") << "x86" << "init-fails" << "cannot be loaded: its start-up code (DllMain) reported a failure"
                                       << " Server Disconnect " << library;
    QTest::newRow("x64 missing DLL") << "x64" << "needs-absent" << "cannot be loaded: it needs pnvabsent.dll, which is missing"
                                     << " Server Disconnect " << library;
    QTest::newRow("x64 exit") << "x64" << "exit-read" << "its Wine host ended during ConfigRead (exit code 7"
                              << " Server Disconnect " << library;
    QTest::newRow("x86 abort") << "x86" << "abort-read" << "the device library called abort() in ConfigRead"
                               << " Server Disconnect " << library;
    QTest::newRow("x64 hang ended by the guard") << "x64" << "hang-read"
                                                 << "ConfigRead did not return within 2 s; its Wine host was ended"
                                                 << " Configuration Reading Time-Out" << int(pnv::TessalinLibrary::Failure::Kind::Hung);
}

// Where the user looks: pnv3400ctl's JSON message and its standard error
// without --verbose, and the window's status bar tool tip and accessible
// description beside its usual status text.
void BridgeTest::failuresSayWhat()
{
    QFETCH(QString, arch);
    QFETCH(QString, variant);
    QFETCH(QString, expected);
    QFETCH(QString, status);
    QFETCH(int, kind);
    REQUIRE_WINE();
    const EnvOverride guard("TESSALIN_BRIDGE_HANG_GUARD_S", "2");
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const QString dll = windowsDll(arch, variant);
    const pnv::test::CtlRun read = runCtl({QStringLiteral("--encoder"), QStringLiteral("127.0.0.1:%1").arg(sim.port()),
                                           QStringLiteral("--json"), QStringLiteral("read")},
                                          pnv::test::environmentWith(QStringLiteral("TESSALIN_LIBRARY"), dll), 60000);
    QVERIFY(read.exitCode > 0);
    // The file as it was named, then what happened: not a network fault.
    const QString named = dll + QStringLiteral(": ") + expected;
    QVERIFY2(read.err.contains(named.toUtf8()), read.err.constData());
    const QString message = read.jsonLines().value(0).value(QStringLiteral("message")).toString();
    QVERIFY2(message.contains(named), qPrintable(message));

    const auto bound = pnv::TessalinLibrary::loadFrom(dll.toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    WindowFixture f(bound.library->api(), bound.library->path());
    f.window->show();
    f.address("jIPE_ServerIP")->setText(QStringLiteral("127.0.0.1"));
    f.edit("Edit_ServerPort")->setText(QString::number(sim.port()));
    f.button("BT_SConnect")->click();
    if (f.window->statusLine() == QStringLiteral(" Server Connect Success "))
        f.button("BT_ConfigRead")->click();
    QCOMPARE(f.window->statusLine(), status);
    QVERIFY2(f.window->connectDiagnosis().contains(named), qPrintable(f.window->connectDiagnosis()));
    QCOMPARE(f.window->findChild<QLabel *>(QStringLiteral("StatusLine"))->accessibleDescription(), f.window->connectDiagnosis());
    QCOMPARE(int(pnv::TessalinLibrary::lastFailure().kind), kind);
}

// A vendor's DLL keeps its own time: a connect and a write of 4 s each
// succeed under a budget of 1 s (the bridge's guard is for hangs only).
void BridgeTest::slowCallsWaitedFor()
{
    REQUIRE_WINE();
    const EnvOverride budget("TESSALIN_TIMEOUT_MS", "1000");
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(QStringLiteral("x64"), QStringLiteral("slow")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    const auto &api = bound.library->api();
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    std::uint8_t write[500] = {};
    QCOMPARE(api.ConfigWrite(write, 500), 1);
    QCOMPARE(int(write[0]), 0);
    QCOMPARE(int(pnv::TessalinLibrary::lastFailure().kind), int(pnv::TessalinLibrary::Failure::Kind::None));
    api.DLLClose();
}

// Without a display a vendor's message box cannot show; what it would have
// said goes to the log, to the window's tool tip and to pnv3400ctl's message.
void BridgeTest::vendorMessageBox()
{
    QFETCH(QString, arch);
    REQUIRE_WINE();
    const QByteArray display = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    const auto restore = qScopeGuard([&display] { if (!display.isEmpty()) qputenv("DISPLAY", display); });
    const QString dll = windowsDll(arch, QStringLiteral("message-box"));
    const QString said = dll + QStringLiteral(": during S_Connect it shows a window, \"Tessalin\": Cannot connect to the encoder");
    const pnv::test::CtlRun read = runCtl({QStringLiteral("--encoder"), QStringLiteral("127.0.0.1:1"), QStringLiteral("--json"),
                                           QStringLiteral("read")},
                                          pnv::test::environmentWith(QStringLiteral("TESSALIN_LIBRARY"), dll), 60000);
    QVERIFY(read.exitCode > 0);
    QVERIFY2(read.jsonLines().value(0).value(QStringLiteral("message")).toString().contains(said), read.out.constData());
    QVERIFY2(read.err.contains(said.toUtf8()), read.err.constData());

    const auto bound = pnv::TessalinLibrary::loadFrom(dll.toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    WindowFixture f(bound.library->api(), bound.library->path());
    f.window->show();
    f.address("jIPE_ServerIP")->setText(QStringLiteral("127.0.0.1"));
    f.edit("Edit_ServerPort")->setText(QStringLiteral("1"));
    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect "));
    QVERIFY2(f.window->connectDiagnosis().startsWith(said), qPrintable(f.window->connectDiagnosis()));
    QCOMPARE(int(pnv::TessalinLibrary::lastFailure().kind), int(pnv::TessalinLibrary::Failure::Kind::Window));
}

// On a display the box is the user's to answer: the call waits for it past
// the hang guard, and returns the DLL's own answer once it is closed.
void BridgeTest::vendorMessageBoxOnADisplay()
{
    REQUIRE_WINE();
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("needs Xvfb and xdotool");
    // A prefix session of its own: Wine's desktop of the shared one has no display.
    QTemporaryDir prefix;
    const QString shared = qEnvironmentVariable("WINEPREFIX");
    for (const char *big : {"drive_c", "dosdevices"})
        QVERIFY(QFile::link(shared + u'/' + QLatin1String(big), prefix.filePath(QLatin1String(big))));
    for (const char *small : {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"})
        QVERIFY(QFile::copy(shared + u'/' + QLatin1String(small), prefix.filePath(QLatin1String(small))));
    const QString display = QStringLiteral(":%1").arg(200 + ::getpid() % 300);
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"), {display, QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QVERIFY(xvfb.waitForStarted());
    const auto endAll = qScopeGuard([&] {
        QProcess::execute(QStringLiteral("env"), {QStringLiteral("WINEPREFIX=") + prefix.path(), QStringLiteral("wineserver"),
                                                  QStringLiteral("-k")});
        xvfb.kill();
        xvfb.waitForFinished();
    });
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QStringLiteral("/tmp/.X11-unix/X") + display.mid(1)), 10000);
    const EnvOverride onDisplay("DISPLAY", display.toLatin1());
    const EnvOverride ownPrefix("WINEPREFIX", QFile::encodeName(prefix.path()));
    const EnvOverride guard("TESSALIN_BRIDGE_HANG_GUARD_S", "1");

    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(QStringLiteral("x64"), QStringLiteral("message-box")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    auto connect = std::async(std::launch::async, [&] { return bound.library->api().S_Connect("127.0.0.1", 14, 1); });
    const auto boxes = [&display] {
        QProcess search;
        search.setProcessEnvironment(pnv::test::environmentWith(QStringLiteral("DISPLAY"), display));
        search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^Tessalin$")});
        search.waitForFinished(5000);
        return QString::fromLatin1(search.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!boxes().isEmpty(), 60000);
    // WHEN nobody answers for longer than the hang guard, THEN the call still waits
    QCOMPARE(connect.wait_for(std::chrono::seconds(3)), std::future_status::timeout);
    // AND once the box is answered (real X input), it returns the DLL's own answer
    const auto answer = [&] {
        QProcess key;
        key.setProcessEnvironment(pnv::test::environmentWith(QStringLiteral("DISPLAY"), display));
        const QStringList found = boxes();
        if (!found.isEmpty()) {
            key.start(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), found.first(), QStringLiteral("key"), QStringLiteral("Return")});
            key.waitForFinished(10000);
        }
        return connect.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answer(), 30000);
    QCOMPARE(connect.get(), 1);
    const auto said = pnv::TessalinLibrary::lastFailure();
    QCOMPARE(int(said.kind), int(pnv::TessalinLibrary::Failure::Kind::Window));
    QVERIFY2(QString::fromStdString(said.text).contains(QStringLiteral("\"Tessalin\": Cannot connect to the encoder")), said.text.c_str());
    bound.library->api().DLLClose();
}

// A DLL that reaches user32.dll only by loading it (itself, or through a
// helper DLL) has its hidden window's messages dispatched between calls all
// the same, as one that imports it.
void BridgeTest::messagesServedOnceUser32Loads()
{
    QFETCH(QString, arch);
    REQUIRE_WINE();
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(arch, QStringLiteral("loads-user32")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    const auto &api = bound.library->api();
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);   // loads user32.dll, posts itself a message
    for (int i = 0; i < 3; ++i) {
        std::uint8_t buffer[500] = {};
        const std::int32_t count = api.ConfigRead(buffer, 500);
        // 1 with 0x72 in byte 0: the last call's message was never dispatched
        QVERIFY2(count == 26 && buffer[0] == 0x42,
                 qPrintable(QStringLiteral("read %1: count %2, byte 0 0x%3").arg(i).arg(count).arg(buffer[0], 0, 16)));
    }
    api.DLLClose();
}

// The host runs in the DLL's folder, and a DLL rewritten in place since its
// host loaded it is loaded anew by the next connect.
void BridgeTest::ownFolderAndChangedDll()
{
    REQUIRE_WINE();
    QTemporaryDir dir;
    const QString dll = dir.filePath(QStringLiteral("Tessalin.DLL"));
    QVERIFY(QFile::copy(windowsDll(QStringLiteral("x64"), QStringLiteral("own-folder")), dll));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("Tessalin.ini")), "[encoder]\n"));
    const auto bound = pnv::TessalinLibrary::loadFrom(dll.toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    struct Log {
        std::mutex lock;
        QStringList lines;
    } log;
    bound.library->setBridgeLog([](void *context, const char *line) {
        auto *to = static_cast<Log *>(context);
        std::lock_guard<std::mutex> lock(to->lock);
        to->lines << QString::fromUtf8(line);
    }, &log);
    const auto &api = bound.library->api();
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);   // 0x74: .\Tessalin.ini not found
    const QList<pid_t> hosts = hostProcesses();
    QCOMPARE(hosts.size(), 1);

    // WHEN the DLL is rewritten in place (cp), as Windows would refuse while it is loaded
    QVERIFY(writeFile(dll, readFile(windowsDll(QStringLiteral("x64"), QStringLiteral("answering")))));
    // THEN the next connect loads it in a new host, and says so
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    std::uint8_t buffer[500] = {};
    QCOMPARE(api.ConfigRead(buffer, 500), 26);
    QCOMPARE(hostProcesses().size(), 1);
    QVERIFY(hostProcesses().first() != hosts.first());

    // WHEN it is replaced by an x86 build, THEN it is checked again and a 32-bit host loads it
    QVERIFY(writeFile(dll, readFile(windowsDll(QStringLiteral("x86"), QStringLiteral("answering")))));
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 0);
    QCOMPARE(api.ConfigRead(buffer, 500), 26);
    // AND once it is deleted, a connect says so
    QVERIFY(QFile::remove(dll));
    QCOMPARE(api.S_Connect("127.0.0.1", 14, 1), 1);
    const auto gone = pnv::TessalinLibrary::lastFailure();
    QCOMPARE(QString::fromStdString(gone.text), dll + QStringLiteral(": the DLL is gone (deleted or moved since it was bound)"));
    bound.library->setBridgeLog(nullptr, nullptr);
    QVERIFY2(log.lines.contains(dll + QStringLiteral(": the DLL changed on disk since its Wine host loaded it; a new host loads it now")),
             qPrintable(log.lines.join(u'\n')));
    QVERIFY2(log.lines.contains(dll + QStringLiteral(": the DLL changed on disk since it was bound and is now 32-bit: a 32-bit host loads it")),
             qPrintable(log.lines.join(u'\n')));
    api.DLLClose();
}

void BridgeTest::callEnds_data()
{
    QTest::addColumn<QString>("arch");
    QTest::addColumn<QString>("variant");    // a misbehaving test DLL, or empty for ours
    QTest::addColumn<QString>("how");        // what ends the call from outside, or empty: the DLL itself
    QTest::addColumn<int>("status");         // what ConfigRead reports
    QTest::addColumn<bool>("freshHost");     // whether the next connect needs a new host
    QTest::newRow("x64 crash inside ConfigRead") << "x64" << "crash-read" << "" << 1 << true;
    QTest::newRow("x86 crash inside ConfigRead") << "x86" << "crash-read" << "" << 1 << true;
    QTest::newRow("x86 ConfigRead never returns") << "x86" << "hang-read" << "" << 2 << true;
    QTest::newRow("host killed") << "x64" << "" << "kill" << 1 << true;
    QTest::newRow("S_Disconnect from another thread") << "x64" << "" << "disconnect" << 1 << false;
    QTest::newRow("DLLClose from another thread") << "x64" << "" << "close" << 1 << true;
}

void BridgeTest::callEnds()
{
    QFETCH(QString, arch);
    QFETCH(QString, variant);
    QFETCH(QString, how);
    QFETCH(int, status);
    QFETCH(bool, freshHost);
    REQUIRE_WINE();
    // A failing DLL has a 500 ms budget and a hang guard of 1 s; a call ended from outside keeps the default 3 s.
    const EnvOverride budget("TESSALIN_TIMEOUT_MS", how.isEmpty() ? QByteArray("500") : QByteArray());
    const EnvOverride guard("TESSALIN_BRIDGE_HANG_GUARD_S", how.isEmpty() ? QByteArray("1") : QByteArray());
    SimulatorProcess::Options options;
    options.faults = {QStringLiteral("no-reply")};   // the test DLLs link to nothing and never ask it
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(arch, variant).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    const auto &api = bound.library->api();
    QCOMPARE(api.S_Connect("127.0.0.1", 14, sim.port()), 0);
    const QList<pid_t> hosts = hostProcesses();
    QCOMPARE(hosts.size(), 1);

    // WHEN the DLL fails inside a read, or the read the silent encoder leaves waiting is ended from outside
    QElapsedTimer clock;
    clock.start();
    std::uint8_t buffer[500] = {};
    auto read = std::async(std::launch::async, [&] { return api.ConfigRead(buffer, 500); });
    if (!how.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains("READ"), 3000);
        clock.restart();
        if (how == QLatin1String("kill"))
            ::kill(hosts.first(), SIGKILL);
        else if (how == QLatin1String("disconnect"))
            api.S_Disconnect();
        else
            api.DLLClose();
    }
    // THEN the read returns its code, bounded: at once when ended from outside, long before its budget
    QCOMPARE(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    QCOMPARE(read.get(), 1);
    QCOMPARE(int(buffer[0]), status);
    // Well inside the hang guard of 1 s, on a loaded machine too.
    QVERIFY2(clock.elapsed() < (how.isEmpty() ? 1000 + 2000 : 2500), qPrintable(QString::number(clock.elapsed())));
    if (how.isEmpty())
        QVERIFY(hostProcesses().isEmpty());   // the failed host is gone

    // AND the next connect links again, on a fresh host where the old one is gone, which answers
    QCOMPARE(api.S_Connect("127.0.0.1", 14, sim.port()), 0);
    const QList<pid_t> now = hostProcesses();
    QCOMPARE(now.size(), 1);
    QCOMPARE(now.first() != hosts.first(), freshHost);
    std::uint8_t write[500] = {};
    if (how.isEmpty()) {   // the test DLLs' write succeeds; the silent encoder would leave ours waiting
        QCOMPARE(api.ConfigWrite(write, 500), 1);
        QCOMPARE(int(write[0]), 0);
    }
    api.DLLClose();
}

void BridgeTest::ctlThroughWine_data()
{
    QTest::addColumn<QString>("arch");
    QTest::newRow("x86") << "x86";
    QTest::newRow("x64") << "x64";
}

void BridgeTest::ctlThroughWine()
{
    QFETCH(QString, arch);
    REQUIRE_WINE();
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const auto dll = pnv::test::environmentWith(QStringLiteral("TESSALIN_LIBRARY"), windowsDll(arch));
    const QStringList at{QStringLiteral("--encoder"), QStringLiteral("127.0.0.1:%1").arg(sim.port()),
                         QStringLiteral("--json")};

    const pnv::test::CtlRun read = runCtl(at + QStringList{QStringLiteral("read")}, dll, 60000);
    QVERIFY2(read.exitCode == 0, read.err.constData());
    QCOMPARE(read.json().value(QStringLiteral("gateway")).toString(), QStringLiteral("172.16.0.1"));

    const QStringList write = at + QStringList{QStringLiteral("write"), QStringLiteral("--gateway"), QStringLiteral("172.16.0.254")};
    for (const char *outcome : {"applied", "unchanged"}) {
        const pnv::test::CtlRun run = runCtl(write, dll, 60000);
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QCOMPARE(run.json().value(QStringLiteral("outcome")).toString(), QString::fromLatin1(outcome));
    }

    QTemporaryDir dir;
    const QString plan = dir.filePath(QStringLiteral("plan.csv"));
    QVERIFY(writeFile(plan, QStringLiteral("encoder,ip,port,gateway,mask\n127.0.0.1:%1,,,172.16.0.9,255.255.0.0\n")
                                .arg(sim.port()).toUtf8()));
    const pnv::test::CtlRun apply = runCtl({QStringLiteral("--json"), QStringLiteral("apply"), plan, QStringLiteral("--jobs"),
                              QStringLiteral("2")}, dll, 60000);
    QVERIFY2(apply.exitCode == 0, (apply.out + apply.err).constData());
    QVERIFY2(apply.out.contains("\"outcome\":\"applied\""), apply.out.constData());
    QVERIFY(readFile(sim.statePath()).contains("172.16.0.9"));
}

void BridgeTest::applyWorkerKilledRowIsReadBack()
{
    REQUIRE_WINE();
    // GIVEN six slow encoders (every answer 300 ms late) and a plan for them, two workers at once
    std::vector<std::unique_ptr<SimulatorProcess>> sims;
    QString plan = QStringLiteral("encoder,ip,port,gateway,mask\n");
    for (int i = 0; i < 6; ++i) {
        SimulatorProcess::Options options;
        options.faults = {QStringLiteral("delay:300")};
        sims.push_back(std::make_unique<SimulatorProcess>(options));
        QVERIFY2(sims.back()->start(), qPrintable(sims.back()->errorString()));
        plan += QStringLiteral("127.0.0.1:%1,,,172.16.0.%2,255.255.0.0\n").arg(sims.back()->port()).arg(100 + i);
    }
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("plan.csv")), plan.toUtf8()));
    QProcess ctl;
    ctl.setProcessEnvironment(pnv::test::environmentWith(QStringLiteral("TESSALIN_LIBRARY"), windowsDll(QStringLiteral("x64"))));
    ctl.start(pnv::test::ctlPath(),
              {QStringLiteral("--json"), QStringLiteral("apply"), dir.filePath(QStringLiteral("plan.csv")),
               QStringLiteral("--jobs"), QStringLiteral("2")});
    QVERIFY(ctl.waitForStarted());

    // WHEN one worker is killed in the middle of its row
    const auto workers = [&ctl] { return childrenNamed(QStringLiteral("/proc/%1/task").arg(ctl.processId()), "serve"); };
    QTRY_VERIFY_WITH_TIMEOUT(workers().size() == 2 && sims[0]->log().contains("READ"), 20000);
    ::kill(workers().first(), SIGKILL);
    QVERIFY(ctl.waitForFinished(60000));

    // THEN the other five are written by the rest, and that row is read
    // again and reported as what its encoder holds: applied, or not-applied
    // when it holds something else (unknown only when it cannot be read)
    const QList<QJsonObject> lines = pnv::test::CtlRun{0, ctl.readAllStandardOutput(), {}}.jsonLines();
    QCOMPARE(lines.size(), 7);
    const QJsonObject summary = lines.last().value(QStringLiteral("summary")).toObject();
    QCOMPARE(summary.value(QStringLiteral("rows")).toInt(), 6);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 0);
    const int unknown = summary.value(QStringLiteral("unknown")).toInt();
    const int notApplied = summary.value(QStringLiteral("not-applied")).toInt();
    QCOMPARE(summary.value(QStringLiteral("applied")).toInt() + notApplied + unknown, 6);
    QCOMPARE(ctl.exitCode(), unknown ? 4 : notApplied ? 1 : 0);
}

void BridgeTest::windowThroughWine()
{
    QFETCH(QString, arch);
    REQUIRE_WINE();
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(arch).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    WindowFixture f(bound.library->api(), bound.library->path());
    f.window->show();
    QVERIFY(f.window->holdsLibraryReference());
    f.address("jIPE_ServerIP")->setText(QStringLiteral("127.0.0.1"));
    f.edit("Edit_ServerPort")->setText(QString::number(sim.port()));

    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Connect Success "));
    f.button("BT_ConfigRead")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Configuration Reading Success "));
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("172.16.30.1"));
    f.address("jIPE_Gateway")->setText(QStringLiteral("172.16.0.77"));
    f.button("BT_ConfigWrite")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Configuration Change Success "));
    QVERIFY(readFile(sim.statePath()).contains("172.16.0.77"));
    f.button("BT_SDisconnect")->click();
    f.button("BT_ConfigRead")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect "));
}

// The first start through the maker's DLL makes a new Wine prefix, which
// takes many seconds: the window says why in a modal progress dialog while
// that Connect runs, and the Connect then succeeds as any other.
void BridgeTest::windowOnANewWinePrefix()
{
    REQUIRE_WINE();
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QTemporaryDir folder;
    const QByteArray shared = qgetenv("WINEPREFIX");
    qputenv("WINEPREFIX", QFile::encodeName(folder.filePath(QStringLiteral("new-prefix"))));
    const auto restore = qScopeGuard([&shared] {
        QProcess::execute(QStringLiteral("wineserver"), {QStringLiteral("-k")});   // of the new prefix: ends its host too
        qputenv("WINEPREFIX", shared);
    });
    const auto bound = pnv::TessalinLibrary::loadFrom(windowsDll(QStringLiteral("x64")).toStdString());
    QVERIFY2(bound.library, bound.error.c_str());
    QVERIFY(bound.library->preparingWinePrefix());
    WindowFixture f(bound.library->api(), bound.library->path());
    const pnv::TessalinLibrary *library = bound.library.get();
    f.window->setPreparationProbe([library] { return library->preparingWinePrefix(); });
    f.window->show();
    f.address("jIPE_ServerIP")->setText(QStringLiteral("127.0.0.1"));
    f.edit("Edit_ServerPort")->setText(QString::number(sim.port()));

    QString shown;
    QTimer look;
    look.setInterval(20);
    connect(&look, &QTimer::timeout, f.window.get(), [&shown] {
        if (auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget()); dialog && dialog->isVisible())
            shown = dialog->labelText();
    });
    look.start();
    f.button("BT_SConnect")->click();
    look.stop();
    QVERIFY2(shown.contains(QStringLiteral("first time")), qPrintable(shown));
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Connect Success "));
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(!bound.library->preparingWinePrefix());
    f.button("BT_SDisconnect")->click();
}

// The idle measurement when PNV_BRIDGE_IDLE_CPU asks for it, else the rest.
int main(int argc, char **argv)
{
    pnv::registerPictureClasses();
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    pnv::setUpApplication(app);
    if (qEnvironmentVariableIsSet("PNV_BRIDGE_IDLE_CPU")) {
        BridgeIdleTest idle;
        return QTest::qExec(&idle, argc, argv);
    }
    BridgeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_bridge.moc"
