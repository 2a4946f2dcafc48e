// pnv3400-sim: an encoder simulator that answers libtessalin.so over TCP and
// keeps its network configuration in a state file.

#include "Batch.h"
#include "EncoderDevice.h"
#include "EncoderServer.h"
#include "FaultPlan.h"
#include "Fleet.h"
#include "SignalWatch.h"
#include "StandardStreams.h"
#include "StateFile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>
#include <optional>

using namespace pnv::sim;

namespace {

// The simulator's own notes and the failure that stops it ("pnv3400.sim").
Q_LOGGING_CATEGORY(programLog, "pnv3400.sim")

// Every line is written whole, as it happens, to stderr: people and tests
// read the log live. Lines carry the local time in milliseconds, except the
// failure that stops the program, written like any command's error. The
// simulator's own notes go through Qt's handler and this pattern; the
// sessions' lines are put together by SessionLog in the same layout.
// QT_MESSAGE_PATTERN overrides the pattern, for both.
//
// A local timestamp costs a stat of the time-zone file per line while TZ is
// unset (the C library checks whether that file changed); naming the file in
// TZ makes the library read it once. The zone is then the one in force when
// the simulator started.
void setUpLogging()
{
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    const QString stamped = QStringLiteral("%{time yyyy-MM-ddTHH:mm:ss.zzz} %{message}");
    qSetMessagePattern(QStringLiteral("%{if-critical}%{message}%{endif}%{if-debug}%1%{endif}%{if-info}%1%{endif}"
                                      "%{if-warning}%1%{endif}")
                           .arg(stamped));
}

int fail(const QString &message)
{
    qCCritical(programLog).noquote() << "pnv3400-sim:" << message;
    return 1;
}

void note(const QString &message) { qCInfo(programLog).noquote() << "pnv3400-sim:" << message; }

struct StartState {
    tessalin::NetworkConfig config;
    QString error;
};

// Loads the state, or creates it: a missing file is a new encoder fresh from
// the factory; a damaged one is reported, never silently replaced.
StartState prepareState(const QString &path, const std::optional<tessalin::MacAddress> &macOption, bool factoryReset)
{
    StartState result;
    QFile::remove(temporaryPath(path));   // left by a save that was cut short; the state itself is whole
    const StateLoad loaded = loadState(path);
    if (!loaded.config && !loaded.missing && !factoryReset) {
        result.error = QStringLiteral("unusable state file %1\n(fix or remove it, or start with --factory-reset)")
                           .arg(loaded.error);
        return result;
    }
    if (loaded.config && macOption && *macOption != loaded.config->mac) {
        result.error = QStringLiteral("--mac %1 differs from the stored MAC %2; an encoder's MAC does not change")
                           .arg(formatMac(*macOption), formatMac(loaded.config->mac));
        return result;
    }
    const tessalin::MacAddress mac = loaded.config ? loaded.config->mac : macOption.value_or(macForStatePath(path));
    if (loaded.config && !factoryReset) {
        result.config = *loaded.config;
        return result;
    }
    if (!loaded.config && !loaded.missing)
        note(QStringLiteral("factory reset over an unusable state (%1); MAC %2").arg(loaded.error, formatMac(mac)));
    else if (loaded.missing)
        note(QStringLiteral("new encoder state %1 with the factory configuration").arg(path));
    else
        note(QStringLiteral("factory reset, MAC %1 kept").arg(formatMac(mac)));
    result.config = tessalin::NetworkConfig::factory(mac);
    result.error = saveState(path, result.config);
    return result;
}

// Prints one "listening on" line per encoder once all listen, and serves until SIGINT or SIGTERM.
int serve(QCoreApplication &app, const QStringList &listening)
{
    pnv::SignalWatch shutdownSignals;
    if (!shutdownSignals.install())
        return fail(QStringLiteral("cannot install the SIGINT/SIGTERM handlers"));
    QObject::connect(&shutdownSignals, &pnv::SignalWatch::signalled, &app, [](int signalNumber) {
        note(QStringLiteral("signal %1, stopping").arg(signalNumber));
        QCoreApplication::quit();
    });
    for (const QString &address : listening)
        pnv::writeStream(stdout, qPrintable(QStringLiteral("listening on %1\n").arg(address)));
    // Whoever waits for those lines would wait for ever: stop instead.
    if (pnv::standardOutputFailed())
        return fail(QStringLiteral("cannot say where it listens; stopping"));
    return app.exec();
}

int run(int argc, char *argv[])
{
    setUpLogging();
    // Qt's own event loop, not GLib's: GLib wakes its loop with an extra write
    // and read each time a socket notifier is switched on or off, and polls
    // twice per turn.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pnv3400-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PNV_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("PNV-3400 encoder simulator: answers the device library libtessalin.so over TCP and keeps the\n"
                       "encoder's network configuration in a state file. New addresses and ports apply at the next\n"
                       "start, as on the encoder. Prints \"listening on ADDRESS:PORT\" on stdout once ready.\n\n")
        + FaultPlan::helpText()
        + QStringLiteral("\nLog (stderr): one line per connection event and per request, as each happens (a request's\n"
                         "just before its answer), local time first. QT_LOGGING_RULES=\"pnv3400.sim.session.info=false\"\n"
                         "silences the per-request lines.\n\n"
                         "Test hook: PNV3400_SIM_SLOW_SAVE_MS=MS makes every save of the state file pause half-way\n"
                         "for MS milliseconds (at most 10000), so that a crash test can kill the simulator where a\n"
                         "save that is not atomic would tear the file. Never set it otherwise.\n"));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Address to listen on (default 127.0.0.1); \"stored\" "
                                                         "means the stored encoder address."),
                                          QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on (default: the stored encoder port; 0: any "
                                                       "free port)."),
                                        QStringLiteral("N"));
    const QCommandLineOption stateOption(QStringLiteral("state"),
                                         QStringLiteral("State file (default %1).").arg(defaultStatePath()),
                                         QStringLiteral("FILE"));
    const QCommandLineOption macOption(QStringLiteral("mac"),
                                       QStringLiteral("MAC address of a new state (default: derived from the state "
                                                      "file's path)."),
                                       QStringLiteral("XX:XX:XX:XX:XX:XX"));
    const QCommandLineOption resetOption(QStringLiteral("factory-reset"),
                                         QStringLiteral("Restore 172.16.30.1, port 3001, mask 255.255.0.0, gateway "
                                                        "172.16.0.1, auxiliary 172.16.0.1:700; keep the MAC."));
    const QCommandLineOption faultOption(QStringLiteral("fault"), QStringLiteral("Misbehave; see below. Repeatable."),
                                         QStringLiteral("KIND[:ARG]"));
    const QCommandLineOption timeoutOption(QStringLiteral("client-timeout"),
                                           QStringLiteral("Milliseconds a client has for its handshake and for each "
                                                          "frame (default 5000). A linked client may stay idle for "
                                                          "2 minutes; when all 64 sessions are taken, the one idle "
                                                          "the longest gives way to a newcomer after 250 ms."),
                                           QStringLiteral("MS"), QStringLiteral("5000"));
    const QCommandLineOption fleetOption(QStringLiteral("fleet"),
                                         QStringLiteral("Serve N encoders on N consecutive addresses from --listen, all "
                                                        "on --port (default 3001), with their state files in "
                                                        "--state-dir."),
                                         QStringLiteral("N"));
    const QCommandLineOption stateDirOption(QStringLiteral("state-dir"),
                                            QStringLiteral("With --fleet: the folder of the state files, one per "
                                                           "encoder, named ADDRESS.state."),
                                            QStringLiteral("DIR"));
    const QCommandLineOption batchOption(QStringLiteral("batch"),
                                         QStringLiteral("Serve N encoders fresh from the factory one after another at "
                                                        "--listen and --port (default 3001), state files "
                                                        "encoder-K.state in --state-dir: each answers until its "
                                                        "configuration is written and its client has let go, then it is "
                                                        "unplugged and the next is plugged in."),
                                         QStringLiteral("N"));
    const QCommandLineOption swapOption(QStringLiteral("swap-ms"),
                                        QStringLiteral("With --batch: milliseconds from one encoder unplugged to the "
                                                       "next plugged in (default 500)."),
                                        QStringLiteral("MS"), QStringLiteral("500"));
    parser.addOptions({listenOption, portOption, stateOption, macOption, resetOption, faultOption, timeoutOption,
                       fleetOption, stateDirOption, batchOption, swapOption});
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(versionOption)) {
        pnv::writeStream(stdout, qPrintable(parser.isSet(helpOption)
                                                ? parser.helpText()
                                                : QStringLiteral("pnv3400-sim %1\n").arg(QCoreApplication::applicationVersion())));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    FaultPlan faults;
    for (const QString &faultText : parser.values(faultOption))
        if (const QString error = faults.add(faultText); !error.isEmpty())
            return fail(error);

    SessionLimits limits;
    bool ok = false;
    limits.clientTimeoutMs = parser.value(timeoutOption).toInt(&ok);
    if (!ok || limits.clientTimeoutMs < 1 || limits.clientTimeoutMs > 600000)
        return fail(QStringLiteral("--client-timeout needs milliseconds, 1 to 600000"));

    std::optional<tessalin::MacAddress> mac;
    if (parser.isSet(macOption)) {
        mac = parseMac(parser.value(macOption));
        if (!mac)
            return fail(QStringLiteral("--mac needs six hexadecimal pairs joined by \":\""));
    }

    Batch batch;
    if (parser.isSet(batchOption)) {
        if (parser.isSet(stateOption) || mac || parser.isSet(fleetOption))
            return fail(QStringLiteral("--batch takes --state-dir; each encoder's MAC comes from its state file"));
        BatchOptions batchOptions;
        batchOptions.count = parser.value(batchOption).toInt(&ok);
        if (!ok || !batchOptions.address.setAddress(parser.value(listenOption)))
            return fail(QStringLiteral("--batch needs a number of encoders and --listen an IP address"));
        batchOptions.swapMs = parser.value(swapOption).toInt(&ok);
        if (!ok)
            batchOptions.swapMs = -1;
        if (parser.isSet(portOption)) {
            const int value = parser.value(portOption).toInt(&ok);
            if (!ok || value < 1 || value > 65535)
                return fail(QStringLiteral("--port needs a number from 1 to 65535 with --batch"));
            batchOptions.port = static_cast<quint16>(value);
        }
        batchOptions.stateDir = parser.value(stateDirOption);
        batchOptions.faults = faults;
        batchOptions.limits = limits;
        batchOptions.factoryReset = parser.isSet(resetOption);
        if (const QString error = batch.start(batchOptions); !error.isEmpty())
            return fail(error);
        return serve(app, {batch.listening()});
    }

    Fleet fleet;
    if (parser.isSet(fleetOption)) {
        if (parser.isSet(stateOption) || mac)
            return fail(QStringLiteral("--fleet takes --state-dir; each encoder's MAC comes from its state file"));
        FleetOptions fleetOptions;
        fleetOptions.count = parser.value(fleetOption).toInt(&ok);
        if (!ok || !fleetOptions.first.setAddress(parser.value(listenOption)))
            return fail(QStringLiteral("--fleet needs a number of encoders and --listen an IPv4 address"));
        fleetOptions.port = 3001;
        if (parser.isSet(portOption)) {
            const int value = parser.value(portOption).toInt(&ok);
            if (!ok || value < 1 || value > 65535)
                return fail(QStringLiteral("--port needs a number from 1 to 65535 with --fleet"));
            fleetOptions.port = static_cast<quint16>(value);
        }
        fleetOptions.stateDir = parser.value(stateDirOption);
        fleetOptions.faults = faults;
        fleetOptions.limits = limits;
        fleetOptions.factoryReset = parser.isSet(resetOption);
        if (const QString error = fleet.start(fleetOptions); !error.isEmpty())
            return fail(error);
        note(QStringLiteral("fleet of %1 encoders, state files in %2").arg(fleetOptions.count).arg(fleetOptions.stateDir));
        return serve(app, fleet.listening());
    }

    QString statePath = parser.value(stateOption);
    if (statePath.isEmpty()) {
        statePath = defaultStatePath();
        QDir().mkpath(QFileInfo(statePath).absolutePath());
    }
    const StartState state = prepareState(statePath, mac, parser.isSet(resetOption));
    if (!state.error.isEmpty())
        return fail(state.error);

    QHostAddress address;
    if (parser.value(listenOption) == QLatin1String("stored"))
        address = QHostAddress(tessalin::toUint32(state.config.address));
    else if (!address.setAddress(parser.value(listenOption)))
        return fail(QStringLiteral("--listen needs an IP address, not \"%1\"").arg(parser.value(listenOption)));

    quint16 port = state.config.port;
    if (parser.isSet(portOption)) {
        const int value = parser.value(portOption).toInt(&ok);
        if (!ok || value < 0 || value > 65535)
            return fail(QStringLiteral("--port needs a number from 0 to 65535"));
        port = static_cast<quint16>(value);
    }

    EncoderDevice device(statePath, state.config, faults);
    EncoderServer server(device, limits);
    if (const QString error = server.listen(address, port); !error.isEmpty())
        return fail(error);

    note(QStringLiteral("state %1: %2:%3 MAC %4").arg(statePath, formatOctets(state.config.address))
             .arg(state.config.port)
             .arg(formatMac(state.config.mac)));
    return serve(app, {QStringLiteral("%1:%2").arg(address.toString()).arg(server.port())});
}

} // namespace

int main(int argc, char *argv[])
{
    pnv::ensureStandardDescriptors();
    const int exitCode = run(argc, argv);
    return pnv::closeStandardStreams("pnv3400-sim", exitCode);
}
