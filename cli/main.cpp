// pnv3400ctl: reads, checks and writes PNV-3400 encoder configurations from
// the command line, one encoder or a whole plan of them, through the device
// library. Output and exit codes are made for scripts as much as for people.

#include "AddressPlan.h"
#include "CommandTable.h"
#include "EncoderSession.h"
#include "SignalWatch.h"
#include "TextFiles.h"
#include "WorkerPool.h"
#include "WriteFlow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <unistd.h>

using namespace pnv::ctl;

namespace {

const QCommandLineOption kIp{QStringLiteral("ip"), QStringLiteral("New encoder address."), QStringLiteral("A")};
const QCommandLineOption kPort{QStringLiteral("port"), QStringLiteral("New encoder port."), QStringLiteral("P")};
const QCommandLineOption kGateway{QStringLiteral("gateway"), QStringLiteral("New default gateway (0.0.0.0: none)."),
                                  QStringLiteral("G")};
const QCommandLineOption kMask{QStringLiteral("mask"), QStringLiteral("New subnet mask."), QStringLiteral("M")};
const QCommandLineOption kDryRun{QStringLiteral("dry-run"),
                                 QStringLiteral("Read and check, say what would be written; write nothing.")};
const QCommandLineOption kForce{QStringLiteral("force"),
                                QStringLiteral("Skip the address rules (never the syntax); the encoder may still refuse.")};
const QCommandLineOption kJobs{QStringLiteral("jobs"), QStringLiteral("Worker processes at once."), QStringLiteral("N")};
const QCommandLineOption kScanPort{QStringLiteral("port"), QStringLiteral("Port to try (default 3001)."),
                                   QStringLiteral("P"), QStringLiteral("3001")};
const QCommandLineOption kTimeout{QStringLiteral("timeout"),
                                  QStringLiteral("Milliseconds each library call may take (default 500)."),
                                  QStringLiteral("MS"), QStringLiteral("500")};

FieldTexts fieldTexts(const Invocation &call)
{
    const auto value = [&call](const QCommandLineOption &option) {
        return call.isSet(option) ? call.value(option) : QString();
    };
    return {value(kIp), value(kPort), value(kGateway), value(kMask)};
}

WriteOptions writeOptions(const Invocation &call)
{
    return {call.isSet(kDryRun), call.isSet(kForce), call.globals.verbose};
}

// The device library for one command; its link is closed at the end, as the
// exit button does. --library behaves as TESSALIN_LIBRARY.
class LibraryUse final {
public:
    explicit LibraryUse(bool verbose) : m_verbose(verbose), m_loaded(pnv::TessalinLibrary::load()) {}
    ~LibraryUse()
    {
        if (!m_loaded.library)
            return;
        m_loaded.library->api().DLLClose();
        if (m_verbose)
            std::fputs("pnv3400ctl: DLLClose()\n", stderr);
    }
    LibraryUse(const LibraryUse &) = delete;
    LibraryUse &operator=(const LibraryUse &) = delete;

    const pnv::TessalinApi *api() const { return m_loaded.library ? &m_loaded.library->api() : nullptr; }
    Result failure() const
    {
        return Result::failure(ExitCode::Library, {QStringLiteral("cannot bind the device library: %1")
                                                       .arg(QString::fromStdString(m_loaded.error))});
    }

private:
    bool m_verbose = false;
    pnv::TessalinLibrary::LoadResult m_loaded;
};

// The device library of a command that talks to one encoder, bound on first
// use and closed by main once the result is printed.
std::optional<LibraryUse> g_library;

const LibraryUse &boundLibrary(bool verbose)
{
    if (!g_library)
        g_library.emplace(verbose);
    return *g_library;
}

// A write's report as pnv3400ctl prints it: refusals one per line; in text,
// the report's line on stdout when it succeeded, on stderr when not.
Result writeResult(const WriteReport &report)
{
    Result result;
    result.exit = report.exit();
    result.objects << report.toJson();
    if (report.outcome == Outcome::Invalid)
        result.notes = report.messages;
    else
        (result.exit == ExitCode::Success ? result.lines : result.problems) << report.describe();
    return result;
}

// write and load: the same checks, the same verified write, the same report.
Result runWrite(const Invocation &call, const FieldTexts &texts)
{
    const WriteOptions options = writeOptions(call);
    const QString encoder = call.globals.encoder.text();
    const ParsedFields parsed = parseFields(texts);
    if (!parsed.syntaxErrors.isEmpty())
        return writeResult(invalidReport(encoder, parsed.syntaxErrors));
    if (!options.force)
        if (const QStringList refusals = ruleViolations(parsed.config); !refusals.isEmpty())
            return writeResult(invalidReport(encoder, refusals));
    const LibraryUse &library = boundLibrary(options.verbose);
    if (!library.api())
        return library.failure();
    return writeResult(writeEncoder(*library.api(), call.globals.encoder, parsed.config, options));
}

// Binds the library, reads the encoder and hands its configuration on, with
// its JSON form; or the result of what failed on the way.
Result withConfiguration(const Globals &globals, const std::function<Result(const EncoderConfig &, QJsonObject)> &use)
{
    const LibraryUse &library = boundLibrary(globals.verbose);
    if (!library.api())
        return library.failure();
    EncoderSession session(*library.api(), globals.encoder, globals.verbose);
    int code = session.connect();
    QString stage = QStringLiteral("connect");
    if (code == TESSALIN_SUCCESS) {
        const auto read = session.read();
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

Result commandRead(const Invocation &call)
{
    return withConfiguration(call.globals, [](const EncoderConfig &config, QJsonObject object) {
        const int prefix = prefixLength(config.mask);
        object[QStringLiteral("prefix")] = prefix < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(prefix);
        Result result;
        result.objects << object;
        result.lines << QStringLiteral("mac %1\nip %2\nport %3\ngateway %4\nmask %5")
                            .arg(config.macText(), formatDotted(config.ip))
                            .arg(config.port)
                            .arg(formatDotted(config.gateway), formatDotted(config.mask));
        return result;
    });
}

Result commandSave(const Invocation &call)
{
    const QString path = call.positional.first();
    const Globals &globals = call.globals;
    return withConfiguration(globals, [&globals, &path](const EncoderConfig &config, QJsonObject object) {
        if (const QString error = saveConfigFile(path, formatConfigFile(config, globals.encoder.text()));
            !error.isEmpty())
            return Result::usage(error);   // as for a FILE that load cannot read
        object[QStringLiteral("file")] = path;
        Result result;
        result.objects << object;
        result.lines << QStringLiteral("%1: saved to %2").arg(globals.encoder.text(), path);
        return result;
    });
}

// The whole of FILE, or the usage error that it cannot be read.
std::optional<QByteArray> readWholeFile(const QString &path, Result &failure)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        failure = Result::usage(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    return file.readAll();
}

Result commandWrite(const Invocation &call) { return runWrite(call, fieldTexts(call)); }

Result commandLoad(const Invocation &call)
{
    const QString path = call.positional.first();
    Result failure;
    const auto text = readWholeFile(path, failure);
    if (!text)
        return failure;
    const ConfigFileContent content = parseConfigFile(*text, path);
    if (!content.errors.isEmpty())
        return writeResult(invalidReport(call.globals.encoder.text(), content.errors));
    return runWrite(call, content.fields);
}

Result checkResult(const QStringList &errors, const QString &okText)
{
    Result result;
    result.exit = errors.isEmpty() ? ExitCode::Success : ExitCode::Usage;
    result.notes = errors;
    result.objects << QJsonObject{{QStringLiteral("valid"), errors.isEmpty()},
                                  {QStringLiteral("errors"), QJsonArray::fromStringList(errors)}};
    if (errors.isEmpty())
        result.lines << okText;
    return result;
}

Result commandCheck(const Invocation &call)
{
    const QString path = call.positional.value(0);
    if (path.isEmpty()) {
        const ParsedFields parsed = parseFields(fieldTexts(call));
        QStringList errors = parsed.syntaxErrors;
        if (errors.isEmpty())
            errors = ruleViolations(parsed.config);
        const bool complete = parsed.config.ip && parsed.config.port && parsed.config.gateway && parsed.config.mask;
        return checkResult(errors, QStringLiteral("ok: no rule refuses these fields")
                                       + (complete ? QString()
                                                   : QStringLiteral("; fields not given are judged by write against "
                                                                    "what the encoder holds")));
    }
    Result failure;
    const auto text = readWholeFile(path, failure);
    if (!text)
        return failure;
    if (text->trimmed().startsWith("encoder,")) {
        const Plan plan = parsePlan(*text, path, false);
        return checkResult(plan.errors, QStringLiteral("ok: %1 rows, no rule refuses any").arg(plan.rows.size()));
    }
    const ConfigFileContent content = parseConfigFile(*text, path);
    QStringList errors = content.errors;
    if (errors.isEmpty())
        for (const QString &rule : ruleViolations(parseFields(content.fields).config))
            errors << QStringLiteral("%1: %2").arg(path, rule);
    return checkResult(errors, QStringLiteral("ok: %1 passes the rules").arg(path));
}

const QString kJobsRange = QStringLiteral("--jobs needs a number from 1 to 64");

// --jobs, or `fallback` without it; nothing when it is out of range.
std::optional<int> jobsValue(const Invocation &call, int fallback)
{
    if (!call.isSet(kJobs))
        return fallback;
    bool ok = false;
    const int jobs = call.value(kJobs).toInt(&ok);
    return ok && jobs >= 1 && jobs <= 64 ? std::optional<int>(jobs) : std::nullopt;
}

QString secondsText(double seconds) { return QString::number(seconds, 'f', 1) + QStringLiteral(" s"); }

// The progress line of apply, drawn in place on a terminal only.
class ProgressLine {
public:
    explicit ProgressLine(int total) : m_total(total), m_enabled(::isatty(STDERR_FILENO) == 1) { m_clock.start(); }
    void update(int done, int failures)
    {
        m_done = done;
        m_failures = failures;
        draw();
    }
    void draw() const
    {
        if (!m_enabled)
            return;
        const double elapsed = double(m_clock.elapsed()) / 1000.0;
        const QString left = m_done == 0 ? QStringLiteral("?")
                                         : secondsText(elapsed / m_done * (m_total - m_done));
        std::fprintf(stderr, "\r\x1b[K%d/%d done, %d failed, %s elapsed, about %s left", m_done, m_total, m_failures,
                     qPrintable(secondsText(elapsed)), qPrintable(left));
        std::fflush(stderr);
    }
    void clear() const
    {
        if (m_enabled) {
            std::fputs("\r\x1b[K", stderr);
            std::fflush(stderr);
        }
    }
    double elapsedSeconds() const { return double(m_clock.elapsed()) / 1000.0; }

private:
    int m_total = 0;
    int m_done = 0;
    int m_failures = 0;
    bool m_enabled = false;
    QElapsedTimer m_clock;
};

QStringList globalWorkerArguments(const Globals &globals, const EncoderAddress &encoder)
{
    QStringList arguments{QStringLiteral("--encoder"), encoder.text(), QStringLiteral("--json")};
    if (globals.verbose)
        arguments << QStringLiteral("--verbose");
    return arguments;
}

// A pool of workers that stops starting new ones on SIGINT or SIGTERM.
struct Workers {
    Workers(const Globals &globals, int jobs) : pool(QCoreApplication::applicationFilePath(), jobs)
    {
        pool.setForwardErrors(globals.verbose);
        QObject::connect(&interrupts, &pnv::SignalWatch::signalled, &pool, [this] { pool.stop(); });
        interrupts.install();   // without it, Ctrl+C ends everything at once, as it would anyway
    }
    WorkerPool pool;
    pnv::SignalWatch interrupts;
};

Result commandApply(const Invocation &call)
{
    const Globals &globals = call.globals;
    const WriteOptions options = writeOptions(call);
    const auto jobs = jobsValue(call, 4);
    if (!jobs)
        return Result::usage(kJobsRange);
    const QString path = call.positional.first();
    Result failure;
    const auto text = readWholeFile(path, failure);
    if (!text)
        return failure;
    const Plan plan = parsePlan(*text, path, options.force);
    if (!plan.errors.isEmpty())
        return Result::failure(ExitCode::Usage,
                               plan.errors + QStringList{QStringLiteral("the plan is refused whole; nothing was sent")});
    if (const LibraryUse library(false); !library.api())
        return library.failure();

    std::vector<QStringList> workers;
    for (const PlanRow &row : plan.rows) {
        QStringList arguments = globalWorkerArguments(globals, row.encoder);
        arguments << QStringLiteral("write");
        const std::pair<const QCommandLineOption &, QString> fields[] = {
            {kIp, row.fields.ip}, {kPort, row.fields.port}, {kGateway, row.fields.gateway}, {kMask, row.fields.mask}};
        for (const auto &[option, value] : fields)
            if (!value.isNull())
                arguments << QStringLiteral("--") + option.names().first() << value;
        if (options.dryRun)
            arguments << QStringLiteral("--dry-run");
        if (options.force)
            arguments << QStringLiteral("--force");
        workers.push_back(arguments);
    }

    std::map<Outcome, int> counts;
    int done = 0;
    int failures = 0;
    ProgressLine progress(int(workers.size()));
    Workers pool(globals, *jobs);
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &pool.pool, [&progress] { progress.draw(); });
    ticker.start(250);
    progress.draw();
    pool.pool.run(workers, [&](const WorkerPool::Result &ended) {
        const PlanRow &row = plan.rows[static_cast<std::size_t>(ended.index)];
        const auto reported = ended.lines.isEmpty() ? std::nullopt : WriteReport::fromJson(ended.lines.last());
        const WriteReport report = reported.value_or(WriteReport{row.encoder.text(), Outcome::Failed, QJsonValue::Null,
                                                                 QJsonValue::Null, QJsonValue::Null, {ended.problem}});
        ++counts[report.outcome];
        ++done;
        if (report.exit() != ExitCode::Success)
            ++failures;
        progress.clear();
        Result line;
        line.objects << report.toJson();
        line.lines << QStringLiteral("%1 (line %2)").arg(report.describe()).arg(row.line);
        call.output.print(line);
        progress.update(done, failures);
    });
    ticker.stop();
    progress.clear();

    const bool interrupted = pool.interrupts.caught();
    const int notStarted = int(workers.size()) - pool.pool.started();
    QJsonObject summary;
    QStringList parts;
    for (const OutcomeRow &row : outcomeTable()) {
        if (row.outcome == Outcome::DryRun && !options.dryRun)
            continue;
        if (row.outcome == Outcome::Invalid && counts[row.outcome] == 0)
            continue;
        summary[QLatin1String(row.name)] = counts[row.outcome];
        parts << QStringLiteral("%1 %2").arg(counts[row.outcome]).arg(QLatin1String(row.name));
    }
    summary[QStringLiteral("rows")] = int(workers.size());
    summary[QStringLiteral("not-started")] = notStarted;
    summary[QStringLiteral("interrupted")] = interrupted;
    summary[QStringLiteral("seconds")] = progress.elapsedSeconds();
    Result result;
    result.exit = interrupted ? ExitCode::Interrupted : failures > 0 ? ExitCode::Encoder : ExitCode::Success;
    result.objects << QJsonObject{{QStringLiteral("summary"), summary}};
    result.lines << QStringLiteral("%1 of %2 rows: %3%4 (%5)")
                        .arg(done)
                        .arg(workers.size())
                        .arg(parts.join(QStringLiteral(", ")))
                        .arg(interrupted ? QStringLiteral("; interrupted, %1 not started").arg(notStarted) : QString())
                        .arg(secondsText(progress.elapsedSeconds()));
    return result;
}

// Every address of CIDR an encoder could have: without the network and
// broadcast addresses, except in /31 and /32 which have none.
std::optional<std::vector<std::uint32_t>> scanHosts(const QString &cidr)
{
    const qsizetype slash = cidr.indexOf(u'/');
    const auto base = parseDotted(slash < 0 ? QStringView(cidr) : QStringView(cidr).left(slash));
    bool ok = false;
    const int prefix = slash < 0 ? 32 : cidr.mid(slash + 1).toInt(&ok);
    if (!base || (slash >= 0 && !ok) || prefix < 22 || prefix > 32)
        return std::nullopt;
    const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    const std::uint32_t network = *base & mask;
    const std::uint32_t last = network | ~mask;
    std::vector<std::uint32_t> hosts;
    for (std::uint64_t a = network; a <= last; ++a)
        if (prefix >= 31 || (a != network && a != last))
            hosts.push_back(static_cast<std::uint32_t>(a));
    return hosts;
}

Result commandScan(const Invocation &call)
{
    const Globals &globals = call.globals;
    const auto jobs = jobsValue(call, 8);
    const auto port = parsePort(call.value(kScanPort));
    bool ok = false;
    const int timeoutMs = call.value(kTimeout).toInt(&ok);
    if (!jobs || !port || *port == 0 || !ok || timeoutMs < 1 || timeoutMs > 3000)
        return Result::failure(
            ExitCode::Usage,
            (jobs ? QStringList() : QStringList{kJobsRange})
                << QStringLiteral("scan: --port needs 1 to 65535, --jobs 1 to 64 and --timeout 1 to 3000 milliseconds"));
    const QString cidr = call.positional.first();
    const auto hosts = scanHosts(cidr);
    if (!hosts)
        return Result::usage(QStringLiteral("scan: \"%1\" is not ADDRESS/PREFIX with a prefix of 22 to 32").arg(cidr));
    if (const LibraryUse library(false); !library.api())
        return library.failure();
    // Small batches keep every worker busy; each batch is one process's links, one after another.
    const std::size_t batch = std::clamp<std::size_t>(hosts->size() / (std::size_t(*jobs) * 4), 1, 32);
    std::vector<QStringList> workers;
    for (std::size_t i = 0; i < hosts->size(); i += batch) {
        QStringList arguments = globalWorkerArguments(globals, {formatDotted((*hosts)[i]), *port});
        arguments << QStringLiteral("probe");
        for (std::size_t j = i; j < std::min(hosts->size(), i + batch); ++j)
            arguments << formatDotted((*hosts)[j]);
        workers.push_back(arguments);
    }
    Workers pool(globals, *jobs);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TESSALIN_TIMEOUT_MS"), QString::number(timeoutMs));
    pool.pool.setEnvironment(environment);
    std::map<std::uint32_t, QJsonObject> found;
    QStringList problems;
    pool.pool.run(workers, [&](const WorkerPool::Result &ended) {
        if (!ended.problem.isEmpty())
            problems << ended.problem;
        for (const QJsonObject &line : ended.lines)
            if (line.value(QStringLiteral("answered")).toBool())
                found[*parseDotted(line.value(QStringLiteral("address")).toString())] = line;
    });
    Result result;
    for (const auto &[address, line] : found) {
        const QString encoder = QStringLiteral("%1:%2").arg(formatDotted(address)).arg(*port);
        const QJsonValue mac = line.value(QStringLiteral("mac"));
        result.objects << QJsonObject{{QStringLiteral("encoder"), encoder}, {QStringLiteral("mac"), mac}};
        result.lines << QStringLiteral("%1 %2").arg(encoder, mac.isString() ? mac.toString() : QStringLiteral("(read failed)"));
    }
    result.notes = problems;
    result.notes << QStringLiteral("scan: %1 of %2 addresses answered as an encoder").arg(found.size()).arg(hosts->size());
    result.exit = pool.interrupts.caught() ? ExitCode::Interrupted
                  : problems.isEmpty()           ? ExitCode::Success
                                                 : ExitCode::Encoder;
    return result;
}

// The worker side of scan: links to each address in turn, one link at a time.
Result commandProbe(const Invocation &call)
{
    const auto port = parsePort(call.value(kScanPort));
    if (!port)
        return Result::failure(ExitCode::Usage, {});
    const LibraryUse &library = boundLibrary(call.globals.verbose);
    if (!library.api())
        return library.failure();
    Result result;
    for (const QString &address : call.positional) {
        if (!parseDotted(address)) {
            result.exit = ExitCode::Usage;
            break;
        }
        EncoderSession session(*library.api(), {address, *port}, call.globals.verbose);
        QJsonObject line{{QStringLiteral("address"), address}, {QStringLiteral("answered"), false}, {QStringLiteral("mac"), QJsonValue::Null}};
        if (session.connect() == 0) {
            line[QStringLiteral("answered")] = true;
            if (const auto read = session.read(); read.config)
                line[QStringLiteral("mac")] = read.config->macText();
        }
        result.objects << line;
    }
    return result;
}

const QString kNewAddressNote =
    QStringLiteral("A new address and port take effect when the encoder restarts; until then it answers where it was.");

Program program()
{
    const QList<QCommandLineOption> fields{kIp, kPort, kGateway, kMask};
    return {
        QStringLiteral("Reads, checks and writes the network configuration of PNV-3400 encoders through the device "
                       "library."),
        kNewAddressNote
            + QStringLiteral(
                "\nRules: the mask contiguous with a prefix of 1 to 30; the ip a usable host address (not in 0.0.0.0/8,\n"
                "127.0.0.0/8, 224.0.0.0/4, 240.0.0.0/4, nor its subnet's network or broadcast address); the gateway\n"
                "0.0.0.0 or a usable host inside the ip's subnet other than the ip; the port 1 to 65535. --force skips\n"
                "the rules (the encoder may still refuse), never the text syntax.\n"),
        {
            {QStringLiteral("read"), {}, QStringLiteral("connect, read, disconnect; print the configuration"),
             QStringLiteral("Connect, read, disconnect; print the configuration."), {}, 0, 0, commandRead},
            {QStringLiteral("write"), {}, QStringLiteral("read, change the fields given, check, write, read back"),
             QStringLiteral("Read the configuration, change the fields given, check the result against the rules, "
                            "write it only if it differs, and read it back over the same link.\n")
                 + kNewAddressNote,
             fields + QList<QCommandLineOption>{kDryRun, kForce}, 0, 0, commandWrite},
            {QStringLiteral("save"), QStringLiteral("FILE"), QStringLiteral("read and store the configuration in FILE"),
             QStringLiteral("Read the configuration and store it in FILE (replaced whole or not at all)."), {}, 1, 1,
             commandSave},
            {QStringLiteral("load"), QStringLiteral("FILE"), QStringLiteral("write what FILE holds, as write does"),
             QStringLiteral("Write what FILE holds, as write does; the whole file is checked before connecting."),
             {kDryRun, kForce}, 1, 1, commandLoad},
            {QStringLiteral("check"), QStringLiteral("[FILE]"),
             QStringLiteral("check fields, a file or a plan against the address rules only; no traffic at all"),
             QStringLiteral("Check fields, a saved configuration or an apply plan against the rules. Sends nothing."),
             fields, 0, 1, commandCheck},
            {QStringLiteral("scan"), QStringLiteral("CIDR"),
             QStringLiteral("list the addresses of CIDR (at most a /22) that answer as an encoder"),
             QStringLiteral("List the addresses of CIDR (at most a /22) that answer as an encoder."),
             {kScanPort, kJobs, kTimeout}, 1, 1, commandScan},
            {QStringLiteral("apply"), QStringLiteral("PLAN.csv"),
             QStringLiteral("write every row of a plan (header encoder,ip,port,gateway,mask)"),
             QStringLiteral("Write every row of a plan, each in a worker process, as write does. The plan is checked "
                            "whole first.\n")
                 + kNewAddressNote,
             {kJobs, kDryRun, kForce}, 1, 1, commandApply},
            {QStringLiteral("probe"), QStringLiteral("ADDRESS..."), {},
             QStringLiteral("Used by scan: link to each address in turn."), {kScanPort}, 1, 1024, commandProbe,
             true},
        }};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pnv3400ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PNV_VERSION));
    const int exitCode = runCommandLine(program(), QCoreApplication::arguments());
    g_library.reset();
    return exitCode;
}
