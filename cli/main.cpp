// pnv3400ctl: reads, checks and writes PNV-3400 encoder configurations from
// the command line, one encoder or a whole plan of them, through the device
// library. Output and exit codes are made for scripts as much as for people.

#include "AddressRules.h"
#include "CommandTable.h"
#include "Commission.h"
#include "EncoderSession.h"
#include "Messages.h"
#include "Reach.h"
#include "SafeFiles.h"
#include "SignalWatch.h"
#include "TextFiles.h"
#include "WorkerPool.h"
#include "WriteFlow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <unistd.h>

using namespace pnv;
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
// From apply to its workers only: the new ip is an address that another row
// of the plan moves away from. It still answers until that encoder restarts,
// so the address-in-use check must not count it.
const QCommandLineOption kVacated = [] {
    QCommandLineOption option{QStringLiteral("vacated"), QStringLiteral("Used by apply."), QStringLiteral("A")};
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}();

net::FieldTexts fieldTexts(const Invocation &call)
{
    const auto value = [&call](const QCommandLineOption &option) {
        return call.isSet(option) ? call.value(option) : QString();
    };
    return {value(kIp), value(kPort), value(kGateway), value(kMask)};
}

WriteOptions writeOptions(const Invocation &call)
{
    WriteOptions options;
    options.dryRun = call.isSet(kDryRun);
    options.force = call.isSet(kForce);
    options.verbose = call.globals.verbose;
    if (const auto vacated = call.parser.optionNames().contains(kVacated.names().first()) ? net::parseDotted(call.value(kVacated))
                                                                                          : std::nullopt) {
        options.probe = [vacated, probe = options.probe](std::uint32_t address, std::uint16_t port) {
            return address == *vacated ? net::AddressProbe() : probe(address, port);
        };
    }
    return options;
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
        const QString message =
            QStringLiteral("cannot bind the device library: %1").arg(printable(QString::fromStdString(m_loaded.error), 1024));
        Result result = Result::failure(ExitCode::Library, {message});
        result.objects << QJsonObject{{QStringLiteral("error"), QStringLiteral("library")},
                                      {QStringLiteral("message"), message}};
        return result;
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
Result runWrite(const Invocation &call, const net::FieldTexts &texts)
{
    const WriteOptions options = writeOptions(call);
    const QString encoder = call.globals.encoder.text();
    const net::ParsedFields parsed = net::parseFields(texts);
    if (!parsed.syntaxErrors.isEmpty())
        return writeResult(invalidReport(encoder, parsed.syntaxErrors));
    if (!options.force)
        if (const QStringList refusals = net::ruleViolations(parsed.config); !refusals.isEmpty())
            return writeResult(invalidReport(encoder, refusals));
    const LibraryUse &library = boundLibrary(options.verbose);
    if (!library.api())
        return library.failure();
    // Ctrl+C stops a write that has not started; one under way runs to its
    // read-back, so an encoder is never left half written.
    pnv::SignalWatch interrupts;
    interrupts.install();
    WriteOptions interruptible = options;
    interruptible.interrupted = [&interrupts] {
        QCoreApplication::processEvents();
        return interrupts.caught();
    };
    Result result = writeResult(writeEncoder(*library.api(), call.globals.encoder, parsed.config, interruptible));
    QCoreApplication::processEvents();
    if (interrupts.caught())
        result.exit = ExitCode::Interrupted;
    return result;
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
        const int prefix = net::prefixLength(config.mask);
        object[QStringLiteral("prefix")] = prefix < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(prefix);
        Result result;
        result.objects << object;
        result.lines << QStringLiteral("mac %1\nip %2\nport %3\ngateway %4\nmask %5")
                            .arg(config.macText(), net::formatDotted(config.ip))
                            .arg(config.port)
                            .arg(net::formatDotted(config.gateway), net::formatDotted(config.mask));
        return result;
    });
}

Result commandSave(const Invocation &call)
{
    const QString path = call.positional.first();
    const Globals &globals = call.globals;
    return withConfiguration(globals, [&globals, &path](const EncoderConfig &config, QJsonObject object) {
        const QByteArray content = formatConfigFile(config, globals.encoder.text());
        // "-" is standard output, and then the file is all that goes there.
        const FileResult saved = path == QLatin1String("-") ? writeAll(STDOUT_FILENO, content, QStringLiteral("standard output"))
                                                             : replaceFile(path, content);
        if (saved.status == FileResult::Status::Refused)
            return Result::usage(saved.error);
        if (!saved.ok())
            return Result::failure(ExitCode::Encoder, {saved.error + QStringLiteral("; nothing was changed")});
        if (path == QLatin1String("-"))
            return Result();
        object[QStringLiteral("file")] = path;
        Result result;
        result.objects << object;
        result.lines << QStringLiteral("%1: saved to %2").arg(globals.encoder.text(), printable(path, 1024));
        return result;
    });
}

// The whole of FILE ("-": standard input) up to `limit`, or the usage error
// that it cannot be read.
std::optional<QByteArray> readWholeFile(const QString &path, qint64 limit, Result &failure)
{
    FileResult read = readInputFile(path, limit, true);
    if (!read.ok()) {
        failure = Result::usage(read.error);
        return std::nullopt;
    }
    return std::move(read.data);
}

Result commandWrite(const Invocation &call) { return runWrite(call, fieldTexts(call)); }

Result commandLoad(const Invocation &call)
{
    const QString path = call.positional.first();
    Result failure;
    const auto text = readWholeFile(path, kConfigFileLimit, failure);
    if (!text)
        return failure;
    const ConfigFileContent content = parseConfigFile(*text, path);
    QStringList errors = content.errors;
    // Judged here too, so that a refusal names the file and the line.
    if (errors.isEmpty() && !call.isSet(kForce))
        errors = configRuleErrors(content, path);
    if (!errors.isEmpty())
        return writeResult(invalidReport(call.globals.encoder.text(), errors));
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
    const net::FieldTexts fields = fieldTexts(call);
    if (!path.isEmpty() && (!fields.ip.isNull() || !fields.port.isNull() || !fields.gateway.isNull() || !fields.mask.isNull()))
        return Result::usage(QStringLiteral("check: give fields or a FILE, not both"));
    if (path.isEmpty()) {
        const net::ParsedFields parsed = net::parseFields(fields);
        QStringList errors = parsed.syntaxErrors;
        if (errors.isEmpty())
            errors = net::ruleViolations(parsed.config);
        const bool complete = parsed.config.ip && parsed.config.port && parsed.config.gateway && parsed.config.mask;
        return checkResult(errors, QStringLiteral("ok: no rule refuses these fields")
                                       + (complete ? QString()
                                                   : QStringLiteral("; fields not given are judged by write against "
                                                                    "what the encoder holds")));
    }
    Result failure;
    const auto text = readWholeFile(path, kPlanFileLimit, failure);
    if (!text)
        return checkResult(failure.notes, {});   // with --json too, {"valid": false, ...}
    // The same test of a file's kind as load and apply make.
    if (fileKind(*text) == FileKind::Plan) {
        const Plan plan = parsePlan(*text, path, false);
        return checkResult(plan.errors, QStringLiteral("ok: %1 rows, no rule refuses any").arg(plan.rows.size()));
    }
    if (text->size() > kConfigFileLimit)
        return checkResult({QStringLiteral("%1 is larger than 64 KiB and no plan; refused").arg(printable(path, 1024))}, {});
    const ConfigFileContent content = parseConfigFile(*text, path);
    QStringList errors = content.errors;
    if (errors.isEmpty())
        errors = configRuleErrors(content, path);
    return checkResult(errors, QStringLiteral("ok: %1 passes the rules").arg(printable(path, 1024)));
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
    const auto text = readWholeFile(path, kPlanFileLimit, failure);
    if (!text)
        return failure;
    const Plan plan = parsePlan(*text, path, options.force);
    if (!plan.errors.isEmpty())
        return Result::failure(ExitCode::Usage,
                               plan.errors + QStringList{QStringLiteral("the plan is refused whole; nothing was sent")});
    if (const LibraryUse library(false); !library.api())
        return library.failure();

    // Addresses that rows of the plan move encoders away from.
    QSet<std::uint32_t> vacated;
    for (const PlanRow &row : plan.rows)
        if (const auto host = net::parseDotted(row.encoder.host); host && row.change.ip && *row.change.ip != *host)
            vacated.insert(*host);
    std::vector<QStringList> workers;
    for (const PlanRow &row : plan.rows) {
        QStringList arguments = globalWorkerArguments(globals, row.encoder);
        arguments << QStringLiteral("write");
        const std::pair<const QCommandLineOption &, QString> fields[] = {
            {kIp, row.fields.ip}, {kPort, row.fields.port}, {kGateway, row.fields.gateway}, {kMask, row.fields.mask}};
        for (const auto &[option, value] : fields)
            if (!value.isNull())
                arguments << QStringLiteral("--") + option.names().first() << value;
        if (row.change.ip && vacated.contains(*row.change.ip))
            arguments << QStringLiteral("--vacated") << net::formatDotted(*row.change.ip);
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
    // As write ends: a row an encoder failed or refused weighs more than one
    // refused by the rules after its read, which alone ends as write's invalid.
    const bool encoderFailed = failures > counts[Outcome::Invalid];
    result.exit = interrupted       ? ExitCode::Interrupted
                  : encoderFailed   ? ExitCode::Encoder
                  : failures > 0    ? ExitCode::Usage
                                    : ExitCode::Success;
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
    const auto base = net::parseDotted(slash < 0 ? QStringView(cidr) : QStringView(cidr).left(slash));
    // Digits only, as in an address: no blanks, signs or leading zeros.
    const auto prefixValue = slash < 0 ? std::optional<std::uint16_t>(32) : net::parsePort(QStringView(cidr).mid(slash + 1));
    if (!base || !prefixValue || *prefixValue < 22 || *prefixValue > 32)
        return std::nullopt;
    const int prefix = *prefixValue;
    const std::uint32_t mask = net::maskOfPrefix(prefix);
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
    const auto port = net::parsePort(call.value(kScanPort));
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
        return Result::usage(
            QStringLiteral("scan: \"%1\" is not ADDRESS/PREFIX with a prefix of 22 to 32").arg(printable(cidr)));
    if (const LibraryUse library(false); !library.api())
        return library.failure();
    // Small batches keep every worker busy; each batch is one process's links, one after another.
    const std::size_t batch = std::clamp<std::size_t>(hosts->size() / (std::size_t(*jobs) * 4), 1, 32);
    std::vector<QStringList> workers;
    for (std::size_t i = 0; i < hosts->size(); i += batch) {
        QStringList arguments = globalWorkerArguments(globals, {net::formatDotted((*hosts)[i]), *port});
        // The port travels with the addresses: the worker has no other way to know it.
        arguments << QStringLiteral("probe") << QStringLiteral("--port") << QString::number(*port);
        for (std::size_t j = i; j < std::min(hosts->size(), i + batch); ++j)
            arguments << net::formatDotted((*hosts)[j]);
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
                found[*net::parseDotted(line.value(QStringLiteral("address")).toString())] = line;
    });
    Result result;
    for (const auto &[address, line] : found) {
        const QString encoder = QStringLiteral("%1:%2").arg(net::formatDotted(address)).arg(*port);
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
    const auto port = net::parsePort(call.value(kScanPort));
    if (!port)
        return Result::failure(ExitCode::Usage, {});
    const LibraryUse &library = boundLibrary(call.globals.verbose);
    if (!library.api())
        return library.failure();
    Result result;
    for (const QString &address : call.positional) {
        if (!net::parseDotted(address)) {
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

// This computer's side of the link first, as it needs no library: the route
// the kernel would take and whether an interface is next to the encoder; then
// whether the encoder answers and reads.
Result commandDoctor(const Invocation &call)
{
    EncoderAddress encoder = call.globals.encoder;
    if (!call.positional.isEmpty()) {
        const auto given = parseEncoderAddress(call.positional.first());
        if (!given)
            return Result::usage(QStringLiteral("doctor: \"%1\" is not ADDRESS[:PORT]").arg(printable(call.positional.first())));
        encoder = *given;
    }
    const std::uint32_t address = *net::parseDotted(encoder.host);
    const std::vector<net::InterfaceAddress> addresses = net::localAddresses();
    const net::RouteLookup lookup = net::routeTo(address, encoder.port, addresses);
    const net::Reach reach = net::judgeReach(address, lookup.route, addresses);

    Result result;
    QJsonObject object = net::reachJson(lookup, reach);
    object[QStringLiteral("encoder")] = encoder.text();
    result.lines << QStringLiteral("encoder %1").arg(encoder.text());
    if (lookup.route)
        result.lines << QStringLiteral("route: through %1, source address %2")
                            .arg(lookup.route->interface.isEmpty() ? QStringLiteral("(unknown interface)") : lookup.route->interface,
                                 net::formatDotted(lookup.route->source));
    else
        result.lines << QStringLiteral("route: none (%1)").arg(lookup.error);
    if (reach.inSubnet.empty())
        result.lines << QStringLiteral("subnet: no interface holds an address in a subnet containing %1").arg(encoder.host);
    for (const net::InterfaceAddress &holder : reach.inSubnet)
        result.lines << QStringLiteral("subnet: %1 holds %2/%3, which contains %4")
                            .arg(holder.interface, net::formatDotted(holder.address))
                            .arg(holder.prefix)
                            .arg(encoder.host);

    bool answers = false;
    QJsonValue config = QJsonValue::Null;
    QString problem;
    const LibraryUse &library = boundLibrary(call.globals.verbose);
    if (library.api()) {
        EncoderSession session(*library.api(), encoder, call.globals.verbose);
        const int code = session.connect();
        answers = code == TESSALIN_SUCCESS;
        if (!answers)
            problem = QStringLiteral("connect: %1").arg(describeCode(code));
        else if (const auto read = session.read(); read.config)
            config = read.config->toJson();
        else
            problem = QStringLiteral("read: %1").arg(describeCode(read.code));
    } else {
        problem = library.failure().notes.value(0);
    }
    result.lines << QStringLiteral("answers: %1").arg(answers ? QStringLiteral("yes") : QStringLiteral("no (%1)").arg(problem));
    if (answers) {
        const QJsonObject held = config.toObject();
        result.lines << (config.isObject() ? QStringLiteral("reads: yes: mac %1, ip %2, port %3, gateway %4, mask %5")
                                                 .arg(held.value(QStringLiteral("mac")).toString(),
                                                      held.value(QStringLiteral("ip")).toString())
                                                 .arg(held.value(QStringLiteral("port")).toInt())
                                                 .arg(held.value(QStringLiteral("gateway")).toString(),
                                                      held.value(QStringLiteral("mask")).toString())
                                           : QStringLiteral("reads: no (%1)").arg(problem));
    }
    if (!reach.suggestion.isEmpty())
        result.lines << QStringLiteral("no interface of this computer is next to %1; this command (not run here) would give it "
                                       "an address there:")
                            .arg(encoder.host)
                     << QStringLiteral("  ") + reach.suggestion;
    object[QStringLiteral("answers")] = answers;
    object[QStringLiteral("reads")] = config.isObject();
    object[QStringLiteral("config")] = config;
    object[QStringLiteral("message")] = problem.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(problem);
    result.objects << object;
    result.exit = !library.api() ? ExitCode::Library : config.isObject() ? ExitCode::Success : ExitCode::Encoder;
    return result;
}

Program program();

// The worker side of apply and scan: serves the command lines read from its
// input, one JSON array of arguments per line, each run as pnv3400ctl would
// run it, with the device library bound once for all of them; after each, the
// line {"row-end": EXIT_CODE}. Ends when its input ends.
Result commandServe(const Invocation &)
{
    char *line = nullptr;
    std::size_t size = 0;
    ssize_t length;
    while ((length = ::getline(&line, &size, stdin)) > 0) {
        const QJsonArray list = QJsonDocument::fromJson(QByteArray(line, length)).array();
        QStringList arguments{QCoreApplication::applicationFilePath()};
        for (const QJsonValue &argument : list)
            arguments << argument.toString();
        const int code = runCommandLine(program(), arguments);
        Output::printText(QString::fromUtf8(QJsonDocument(QJsonObject{{QLatin1String(kRowEndKey), code}})
                                                .toJson(QJsonDocument::Compact))
                          + u'\n');
    }
    std::free(line);
    return {};
}

const QString kNewAddressNote =
    QStringLiteral("A new address and port take effect when the encoder restarts; until then it answers where it was.");

Program program()
{
    const QList<QCommandLineOption> fields{kIp, kPort, kGateway, kMask};
    Program table{
        QStringLiteral("Reads, checks and writes the network configuration of PNV-3400 encoders through the device "
                       "library."),
        kNewAddressNote
            + QStringLiteral(
                "\nRules: the mask contiguous with a prefix of 1 to 30; the ip a usable host address (not in 0.0.0.0/8,\n"
                "127.0.0.0/8, 224.0.0.0/4, 240.0.0.0/4, nor its subnet's network or broadcast address); the gateway\n"
                "0.0.0.0 or a usable host inside the ip's subnet other than the ip; the port 1 to 65535. --force skips\n"
                "the rules (the encoder may still refuse), never the text syntax.\n"
                "Before a new ip is written, nothing may answer there yet (ICMP echo, connect to the port, 0.4 s at\n"
                "most); an address in use makes the write invalid unless --force.\n"),
        {
            {QStringLiteral("read"), {}, QStringLiteral("connect, read, disconnect; print the configuration"),
             QStringLiteral("Connect, read, disconnect; print the configuration."), {}, 0, 0, commandRead},
            {QStringLiteral("write"), {}, QStringLiteral("read, change the fields given, check, write, read back"),
             QStringLiteral("Read the configuration, change the fields given, check the result against the rules, "
                            "write it only if it differs, and read it back over the same link.\n")
                 + kNewAddressNote,
             fields + QList<QCommandLineOption>{kDryRun, kForce, kVacated}, 0, 0, commandWrite},
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
             QStringLiteral("Write every row of a plan, as write does, in up to --jobs worker processes. The plan is checked "
                            "whole first.\n")
                 + kNewAddressNote,
             {kJobs, kDryRun, kForce}, 1, 1, commandApply},
            commissionCommand(),
            {QStringLiteral("doctor"), QStringLiteral("[ENCODER]"),
             QStringLiteral("which interface reaches ENCODER (default the factory address), and does it answer"),
             QStringLiteral("Say which interface and source address this computer would use to reach ENCODER\n"
                            "(ADDRESS[:PORT], default --encoder or the factory address 172.16.30.1:3001), whether an\n"
                            "interface holds an address in a subnet containing it, and whether it answers and reads.\n"
                            "When no interface is next to it, print the command that would give this computer an\n"
                            "address there; it is never run. Exit 0 when the encoder reads, 1 otherwise."),
             {}, 0, 1, commandDoctor},
            {QStringLiteral("probe"), QStringLiteral("ADDRESS..."), {},
             QStringLiteral("Used by scan: link to each address in turn."), {kScanPort}, 1, 1024, commandProbe,
             true},
            {QStringLiteral("serve"), {}, {},
             QStringLiteral("Used by apply and scan: run the command lines read from the input, one after another."),
             {}, 0, 0, commandServe, true},
        }};
    // Options that do nothing for a command stay out of its help.
    for (Command &command : table.commands) {
        if (command.name == QLatin1String("check"))
            command.ignores = {QStringLiteral("encoder"), QStringLiteral("library"), QStringLiteral("verbose")};
        if (command.name == QLatin1String("scan"))
            command.ignores = {QStringLiteral("encoder")};
    }
    return table;
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
