#include "Shared.h"

#include "Messages.h"
#include "SafeFiles.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cstdio>

namespace pnv::ctl::commands {

const QString kNewAddressNote =
    QStringLiteral("A new address and port take effect when the encoder restarts; until then it answers where it was.");

const Options &options()
{
    static const Options all;
    return all;
}

net::FieldTexts fieldTexts(const Invocation &call)
{
    const auto value = [&call](const QCommandLineOption &option) {
        return call.isSet(option) ? call.value(option) : QString();
    };
    const Options &o = options();
    return {value(o.ip), value(o.port), value(o.gateway), value(o.mask)};
}

WriteOptions writeOptions(const Invocation &call)
{
    const Options &o = options();
    WriteOptions write;
    write.dryRun = call.isSet(o.dryRun);
    write.force = call.isSet(o.force);
    write.allowInUse = call.isSet(o.allowInUse);
    write.verbose = call.globals.verbose;
    const bool offered = call.parser.optionNames().contains(o.probed.names().first());
    if (const auto probed = offered ? probeFromText(call.value(o.probed)) : std::nullopt) {
        write.probe = [probed, probe = write.probe](std::uint32_t address, std::uint16_t port) {
            const auto &[target, result] = *probed;
            return address == target.address && port == target.port ? result : probe(address, port);
        };
    }
    return write;
}

QString probeText(const net::ProbeTarget &target, const net::AddressProbe &probe)
{
    const QJsonObject object{{QStringLiteral("address"), net::formatDotted(target.address)},
                             {QStringLiteral("port"), target.port},
                             {QStringLiteral("answered"), probe.answered},
                             {QStringLiteral("reason"), probe.reason},
                             {QStringLiteral("skipped"), QJsonArray::fromStringList(probe.skipped)}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

std::optional<std::pair<net::ProbeTarget, net::AddressProbe>> probeFromText(const QString &text)
{
    const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
    const auto address = net::parseDotted(object.value(QStringLiteral("address")).toString());
    const int port = object.value(QStringLiteral("port")).toInt(-1);
    if (!address || port < 0 || port > 65535)
        return std::nullopt;
    net::AddressProbe probe;
    probe.answered = object.value(QStringLiteral("answered")).toBool();
    probe.reason = object.value(QStringLiteral("reason")).toString();
    for (const QJsonValue &skipped : object.value(QStringLiteral("skipped")).toArray())
        probe.skipped << skipped.toString();
    return std::pair(net::ProbeTarget{*address, std::uint16_t(port)}, probe);
}

const QString kJobsRange = QStringLiteral("--jobs needs a number from 1 to 64");

std::optional<int> strictNumber(const QString &text, int minimum, int maximum)
{
    static const QRegularExpression digits(QStringLiteral("^(0|[1-9][0-9]{0,8})$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const int value = text.toInt();
    return value >= minimum && value <= maximum ? std::optional<int>(value) : std::nullopt;
}

std::optional<int> jobsValue(const Invocation &call, int fallback)
{
    if (!call.isSet(options().jobs))
        return fallback;
    return strictNumber(call.value(options().jobs), 1, 64);
}

std::optional<QByteArray> readWholeFile(const QString &path, qint64 limit, Result &failure)
{
    FileResult read = readInputFile(path, limit, true);
    if (!read.ok()) {
        failure = Result::usage(read.error);
        return std::nullopt;
    }
    return std::move(read.data);
}

namespace {
// What a Windows DLL run through the bridge prints (and Wine with it) is
// shown with --verbose, each line marked as the library's, and dropped
// otherwise: it is the vendor's debugging, not our program's output.
void showLibraryLine(void *, const char *line) { std::fprintf(stderr, "pnv3400ctl: %s\n", line); }
void dropLibraryLine(void *, const char *) {}
} // namespace

LibraryUse::LibraryUse(bool verbose, Purpose purpose)
    : m_verbose(verbose),
      m_loaded(pnv::TessalinLibrary::load(purpose == Purpose::CheckOnly ? pnv::TessalinLibrary::HostStart::AtFirstConnect
                                                                        : pnv::TessalinLibrary::HostStart::AtBinding))
{
    if (m_loaded.library)
        m_loaded.library->setBridgeLog(verbose ? showLibraryLine : dropLibraryLine, nullptr);
}

LibraryUse::~LibraryUse()
{
    if (!m_loaded.library)
        return;
    m_loaded.library->api().DLLClose();
    if (m_verbose)
        std::fputs("pnv3400ctl: DLLClose()\n", stderr);
}

Result LibraryUse::failure() const { return unboundLibrary(QString::fromStdString(m_loaded.error)); }

namespace {
std::optional<LibraryUse> g_library;
} // namespace

const LibraryUse &boundLibrary(bool verbose)
{
    if (!g_library)
        g_library.emplace(verbose);
    return *g_library;
}

void releaseLibrary() { g_library.reset(); }

Result withConfiguration(const Globals &globals, const std::function<Result(const EncoderConfig &, QJsonObject)> &use)
{
    const LibraryUse &library = boundLibrary(globals.verbose);
    if (!library.api())
        return library.failure();
    // Ctrl+C waits for the library call under way (each is bounded), so
    // that the command still ends with its answer, in JSON too.
    pnv::SignalWatch interrupts;
    interrupts.install(stoppingSignals());
    const auto interrupted = [&interrupts]() -> std::optional<Result> {
        QCoreApplication::processEvents();
        if (!interrupts.caught())
            return std::nullopt;
        return Result::failure(interruptedBy(interrupts.caughtSignal()), {QStringLiteral("interrupted; nothing was changed")});
    };
    EncoderSession session(*library.api(), globals.encoder, globals.verbose);
    int code = session.connect();
    if (auto stopped = interrupted())
        return *stopped;
    QString stage = QStringLiteral("connect");
    if (code == TESSALIN_SUCCESS) {
        const auto read = session.read();
        if (auto stopped = interrupted())
            return *stopped;
        if (read.config) {
            QJsonObject object = read.config->toJson();
            object[QStringLiteral("encoder")] = globals.encoder.text();
            return use(*read.config, object);
        }
        code = read.code;
        stage = QStringLiteral("read");
    }
    const QString message = QStringLiteral("%1: %2").arg(stage, describeCode(code));
    Result failed = Result::failure(ExitCode::Encoder,
                                    {QStringLiteral("%1: failed: %2").arg(globals.encoder.text(), message)});
    failed.objects << QJsonObject{{QStringLiteral("encoder"), globals.encoder.text()},
                                  {QStringLiteral("outcome"), QStringLiteral("failed")},
                                  {QStringLiteral("code"), code},
                                  {QStringLiteral("message"), message}};
    return failed;
}

QStringList workerArguments(const Globals &globals, const EncoderAddress &encoder)
{
    QStringList arguments{QStringLiteral("--encoder"), encoder.text(), QStringLiteral("--json")};
    if (globals.verbose)
        arguments << QStringLiteral("--verbose");
    return arguments;
}

Workers::Workers(const Globals &globals, int jobs) : pool(QCoreApplication::applicationFilePath(), jobs)
{
    pool.setForwardErrors(globals.verbose);
    QObject::connect(&interrupts, &pnv::SignalWatch::signalled, &pool, [this] { pool.stop(); });
    interrupts.install(stoppingSignals());   // without it, Ctrl+C ends everything at once, as it would anyway
}

QString secondsText(double seconds) { return QString::number(seconds, 'f', 1) + QStringLiteral(" s"); }

} // namespace pnv::ctl::commands
