// pnv3400ctl: reads, checks and writes PNV-3400 encoder configurations from
// the command line, one encoder or a whole plan of them, through the device
// library. Output and exit codes are made for scripts as much as for people.

#include "AddressPlan.h"
#include "EncoderSession.h"
#include "TextFiles.h"
#include "WorkerPool.h"
#include "WriteFlow.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <unistd.h>

using namespace pnv::ctl;

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitEncoder = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLibrary = 3;
constexpr int kExitInterrupted = 130;

const char *const kCommandsHelp =
    "Commands:\n"
    "  read                     connect, read, disconnect; print the configuration\n"
    "  write [--ip A] [--port P] [--gateway G] [--mask M] [--dry-run] [--force]\n"
    "                           read, change the fields given, check, write, read back\n"
    "  save FILE                read and store the configuration in FILE\n"
    "  load FILE [--dry-run] [--force]\n"
    "                           write what FILE holds, as write does\n"
    "  check [--ip A] [--port P] [--gateway G] [--mask M] | check FILE\n"
    "                           check against the address rules only; no traffic at all\n"
    "  scan CIDR [--port P] [--jobs N] [--timeout MS]\n"
    "                           list the addresses of CIDR (at most a /22) that answer as an encoder\n"
    "  apply PLAN.csv [--jobs N] [--dry-run] [--force]\n"
    "                           write every row of a plan (header encoder,ip,port,gateway,mask)\n"
    "\n"
    "A new address and port take effect when the encoder restarts; until then it answers where it was.\n"
    "Rules: the mask contiguous with a prefix of 1 to 30; the ip a usable host address (not in 0.0.0.0/8,\n"
    "127.0.0.0/8, 224.0.0.0/4, 240.0.0.0/4, nor its subnet's network or broadcast address); the gateway\n"
    "0.0.0.0 or a usable host inside the ip's subnet other than the ip; the port 1 to 65535. --force skips\n"
    "the rules (the encoder may still refuse), never the text syntax.\n"
    "Outcomes of a write: applied, unchanged, dry-run, rejected, not-applied, failed, invalid.\n"
    "Exit codes: 0 success, 1 an encoder failed or refused, 2 usage, syntax or rule error (nothing sent),\n"
    "3 the device library could not be bound, 130 interrupted.\n"
    "\n"
    "'pnv3400ctl COMMAND --help' describes one command.\n";

void printLine(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", qPrintable(text));
    std::fflush(stream);
}

void complain(const QString &text) { printLine(stderr, QStringLiteral("pnv3400ctl: ") + text); }

void printJson(const QJsonObject &object)
{
    printLine(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

struct Globals {
    EncoderAddress encoder{QStringLiteral("172.16.30.1"), 3001};
    bool json = false;
    bool verbose = false;
};

struct GlobalOptions {
    QCommandLineOption encoder{QStringLiteral("encoder"),
                               QStringLiteral("The encoder to talk to (default 172.16.30.1:3001, the factory address)."),
                               QStringLiteral("ADDRESS[:PORT]")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("Print JSON for machines.")};
    QCommandLineOption library{QStringLiteral("library"),
                               QStringLiteral("The device library to bind (as TESSALIN_LIBRARY does)."),
                               QStringLiteral("PATH")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("Log every library call, its result and its duration on stderr.")};

    void addTo(QCommandLineParser &parser) const { parser.addOptions({encoder, json, library, verbose}); }
};

// One command's arguments, parsed with the global options allowed among them.
class CommandLine {
public:
    CommandLine(const QString &command, const QString &synopsis, const QString &description)
        : m_command(command)
    {
        m_parser.setApplicationDescription(description);
        m_parser.addPositionalArgument(command, synopsis);
        m_parser.addHelpOption();
        m_globals.addTo(m_parser);
    }
    QCommandLineParser &parser() { return m_parser; }
    const GlobalOptions &globals() const { return m_globals; }

    // False with an error already reported (usage, exit 2).
    bool parse(const QStringList &arguments, int minPositional, int maxPositional)
    {
        if (!m_parser.parse(QStringList{QCoreApplication::applicationFilePath()} + arguments)) {
            complain(QStringLiteral("%1: %2").arg(m_command, m_parser.errorText()));
            return false;
        }
        if (m_parser.isSet(QStringLiteral("help"))) {
            std::fputs(qPrintable(m_parser.helpText()), stdout);
            std::exit(kExitSuccess);
        }
        const qsizetype count = m_parser.positionalArguments().size();
        if (count < minPositional || count > maxPositional) {
            complain(QStringLiteral("%1: %2").arg(m_command, count < minPositional
                                                                  ? QStringLiteral("missing argument")
                                                                  : QStringLiteral("unexpected argument %1")
                                                                        .arg(m_parser.positionalArguments().last())));
            return false;
        }
        return true;
    }

private:
    QString m_command;
    QCommandLineParser m_parser;
    GlobalOptions m_globals;
};

// Binds the device library, or says why not. --library behaves as TESSALIN_LIBRARY.
std::unique_ptr<pnv::TessalinLibrary> bindLibrary()
{
    auto loaded = pnv::TessalinLibrary::load();
    if (!loaded.library)
        complain(QStringLiteral("cannot bind the device library: %1").arg(QString::fromStdString(loaded.error)));
    return std::move(loaded.library);
}

// Closes the library's link at the end of a command, as the exit button does.
struct LibraryUse {
    explicit LibraryUse(bool verbose) : verbose(verbose) {}
    ~LibraryUse()
    {
        if (!library)
            return;
        library->api().DLLClose();
        if (verbose)
            complain(QStringLiteral("DLLClose()"));
    }
    bool verbose = false;
    std::unique_ptr<pnv::TessalinLibrary> library = bindLibrary();
};

struct FieldOptions {
    QCommandLineOption ip{QStringLiteral("ip"), QStringLiteral("New encoder address."), QStringLiteral("A")};
    QCommandLineOption port{QStringLiteral("port"), QStringLiteral("New encoder port."), QStringLiteral("P")};
    QCommandLineOption gateway{QStringLiteral("gateway"), QStringLiteral("New default gateway (0.0.0.0: none)."),
                               QStringLiteral("G")};
    QCommandLineOption mask{QStringLiteral("mask"), QStringLiteral("New subnet mask."), QStringLiteral("M")};

    void addTo(QCommandLineParser &parser) const { parser.addOptions({ip, port, gateway, mask}); }
    FieldTexts texts(const QCommandLineParser &parser) const
    {
        const auto value = [&parser](const QCommandLineOption &option) {
            return parser.isSet(option) ? parser.value(option) : QString();
        };
        return {value(ip), value(port), value(gateway), value(mask)};
    }
};

const QCommandLineOption kDryRun{QStringLiteral("dry-run"), QStringLiteral("Read and check, say what would be written; write nothing.")};
const QCommandLineOption kForce{QStringLiteral("force"), QStringLiteral("Skip the address rules (never the syntax); the encoder may still refuse.")};
const QCommandLineOption kJobs{QStringLiteral("jobs"), QStringLiteral("Worker processes at once."), QStringLiteral("N")};

int reportInvalid(const Globals &globals, const QStringList &refusals)
{
    for (const QString &refusal : refusals)
        complain(refusal);
    if (globals.json)
        printJson(invalidReport(globals.encoder.text(), refusals));
    return kExitUsage;
}

// write and load: the same checks, the same verified write, the same report.
int runWrite(const Globals &globals, const FieldTexts &texts, const WriteOptions &options)
{
    const ParsedFields parsed = parseFields(texts);
    if (!parsed.syntaxErrors.isEmpty())
        return reportInvalid(globals, parsed.syntaxErrors);
    if (!options.force)
        if (const QStringList refusals = ruleViolations(parsed.config); !refusals.isEmpty())
            return reportInvalid(globals, refusals);
    LibraryUse use(options.verbose);
    if (!use.library)
        return kExitLibrary;
    const QJsonObject report = writeEncoder(use.library->api(), globals.encoder, parsed.config, options);
    const Outcome outcome = *outcomeFromName(report.value(QStringLiteral("outcome")).toString());
    const int exitCode = exitCodeFor(outcome);
    if (globals.json)
        printJson(report);
    if (outcome == Outcome::Invalid)
        for (const QString &refusal : report.value(QStringLiteral("message")).toString().split(QStringLiteral("; ")))
            complain(refusal);
    else if (!globals.json)
        exitCode == 0 ? printLine(stdout, describeReport(report)) : complain(describeReport(report));
    return exitCode;
}

// Connects and reads one encoder; prints the failure itself.
std::optional<EncoderConfig> readEncoder(const Globals &globals, const pnv::TessalinApi &api, int &exitCode)
{
    EncoderSession session(api, globals.encoder, globals.verbose);
    int code = session.connect();
    QString stage = QStringLiteral("connect");
    if (code == TESSALIN_SUCCESS) {
        const auto result = session.read();
        if (result.config)
            return result.config;
        code = result.code;
        stage = QStringLiteral("read");
    }
    const QString message = QStringLiteral("%1: %2").arg(stage, describeCode(code));
    if (globals.json)
        printJson({{QStringLiteral("encoder"), globals.encoder.text()},
                   {QStringLiteral("outcome"), QStringLiteral("failed")},
                   {QStringLiteral("code"), code},
                   {QStringLiteral("message"), message}});
    complain(QStringLiteral("%1: failed: %2").arg(globals.encoder.text(), message));
    exitCode = kExitEncoder;
    return std::nullopt;
}

// Binds the library, reads the encoder and hands its configuration on; or
// the exit code of what failed on the way.
int withConfiguration(const Globals &globals, const std::function<int(const EncoderConfig &, QJsonObject)> &use)
{
    LibraryUse library(globals.verbose);
    if (!library.library)
        return kExitLibrary;
    int exitCode = kExitSuccess;
    const auto config = readEncoder(globals, library.library->api(), exitCode);
    if (!config)
        return exitCode;
    QJsonObject object = config->toJson();
    object[QStringLiteral("encoder")] = globals.encoder.text();
    return use(*config, object);
}

int commandRead(const Globals &globals)
{
    return withConfiguration(globals, [&globals](const EncoderConfig &config, QJsonObject object) {
        if (globals.json) {
            const int prefix = prefixLength(config.mask);
            object[QStringLiteral("prefix")] = prefix < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(prefix);
            printJson(object);
        } else {
            printLine(stdout, QStringLiteral("mac %1\nip %2\nport %3\ngateway %4\nmask %5")
                                  .arg(config.macText(), formatDotted(config.ip))
                                  .arg(config.port)
                                  .arg(formatDotted(config.gateway), formatDotted(config.mask)));
        }
        return kExitSuccess;
    });
}

int commandSave(const Globals &globals, const QString &path)
{
    return withConfiguration(globals, [&globals, &path](const EncoderConfig &config, QJsonObject object) {
        if (const QString error = saveConfigFile(path, formatConfigFile(config, globals.encoder.text()));
            !error.isEmpty()) {
            complain(error);
            return kExitUsage;   // as for a FILE that load cannot read
        }
        object[QStringLiteral("file")] = path;
        globals.json ? printJson(object) : printLine(stdout, QStringLiteral("%1: saved to %2").arg(globals.encoder.text(), path));
        return kExitSuccess;
    });
}

std::optional<QByteArray> readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    return file.readAll();
}

int commandLoad(const Globals &globals, const QString &path, const WriteOptions &options)
{
    const auto text = readWholeFile(path);
    if (!text)
        return kExitUsage;
    const ConfigFileContent content = parseConfigFile(*text, path);
    if (!content.errors.isEmpty())
        return reportInvalid(globals, content.errors);
    return runWrite(globals, content.fields, options);
}

int reportCheck(const Globals &globals, const QStringList &errors, const QString &okText)
{
    for (const QString &error : errors)
        complain(error);
    if (globals.json)
        printJson({{QStringLiteral("valid"), errors.isEmpty()}, {QStringLiteral("errors"), QJsonArray::fromStringList(errors)}});
    else if (errors.isEmpty())
        printLine(stdout, okText);
    return errors.isEmpty() ? kExitSuccess : kExitUsage;
}

int commandCheck(const Globals &globals, const FieldTexts &texts, const QString &path)
{
    const QString partNote = QStringLiteral("; fields not given are judged by write against what the encoder holds");
    if (path.isEmpty()) {
        const ParsedFields parsed = parseFields(texts);
        QStringList errors = parsed.syntaxErrors;
        if (errors.isEmpty())
            errors = ruleViolations(parsed.config);
        const bool complete = parsed.config.ip && parsed.config.port && parsed.config.gateway && parsed.config.mask;
        return reportCheck(globals, errors, QStringLiteral("ok: no rule refuses these fields") + (complete ? QString() : partNote));
    }
    const auto text = readWholeFile(path);
    if (!text)
        return kExitUsage;
    if (text->trimmed().startsWith("encoder,")) {
        const Plan plan = parsePlan(*text, path, false);
        return reportCheck(globals, plan.errors, QStringLiteral("ok: %1 rows, no rule refuses any").arg(plan.rows.size()));
    }
    const ConfigFileContent content = parseConfigFile(*text, path);
    QStringList errors = content.errors;
    if (errors.isEmpty())
        for (const QString &rule : ruleViolations(parseFields(content.fields).config))
            errors << QStringLiteral("%1: %2").arg(path, rule);
    return reportCheck(globals, errors, QStringLiteral("ok: %1 passes the rules").arg(path));
}

std::optional<int> jobsValue(const QCommandLineParser &parser, int fallback)
{
    if (!parser.isSet(kJobs))
        return fallback;
    bool ok = false;
    const int jobs = parser.value(kJobs).toInt(&ok);
    if (!ok || jobs < 1 || jobs > 64) {
        complain(QStringLiteral("--jobs needs a number from 1 to 64"));
        return std::nullopt;
    }
    return jobs;
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

int commandApply(const Globals &globals, const QString &path, int jobs, const WriteOptions &options)
{
    const auto text = readWholeFile(path);
    if (!text)
        return kExitUsage;
    const Plan plan = parsePlan(*text, path, options.force);
    if (!plan.errors.isEmpty()) {
        for (const QString &error : plan.errors)
            complain(error);
        complain(QStringLiteral("the plan is refused whole; nothing was sent"));
        return kExitUsage;
    }
    if (!LibraryUse(false).library)
        return kExitLibrary;

    std::vector<QStringList> workers;
    for (const PlanRow &row : plan.rows) {
        QStringList arguments = globalWorkerArguments(globals, row.encoder);
        arguments << QStringLiteral("write");
        const std::pair<const char *, QString> fields[] = {
            {"--ip", row.fields.ip}, {"--port", row.fields.port}, {"--gateway", row.fields.gateway}, {"--mask", row.fields.mask}};
        for (const auto &[option, value] : fields)
            if (!value.isNull())
                arguments << QLatin1String(option) << value;
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
    WorkerPool pool(QCoreApplication::applicationFilePath(), jobs);
    pool.setForwardErrors(globals.verbose);
    InterruptWatch interrupts;
    QObject::connect(&interrupts, &InterruptWatch::interrupt, &pool, [&pool] { pool.stop(); });
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &pool, [&progress] { progress.draw(); });
    ticker.start(250);
    progress.draw();
    pool.run(workers, [&](const WorkerPool::Result &result) {
        const PlanRow &row = plan.rows[static_cast<std::size_t>(result.index)];
        QJsonObject report = result.lines.isEmpty() ? QJsonObject() : result.lines.last();
        std::optional<Outcome> outcome = outcomeFromName(report.value(QStringLiteral("outcome")).toString());
        if (!outcome) {
            outcome = Outcome::Failed;
            report = {{QStringLiteral("encoder"), row.encoder.text()},
                      {QStringLiteral("outcome"), outcomeName(Outcome::Failed)},
                      {QStringLiteral("changed"), false},
                      {QStringLiteral("before"), QJsonValue::Null},
                      {QStringLiteral("after"), QJsonValue::Null},
                      {QStringLiteral("code"), QJsonValue::Null},
                      {QStringLiteral("message"), result.problem}};
        }
        ++counts[*outcome];
        ++done;
        if (exitCodeFor(*outcome) != 0)
            ++failures;
        progress.clear();
        if (globals.json)
            printJson(report);
        else
            printLine(stdout, QStringLiteral("%1 (line %2)").arg(describeReport(report)).arg(row.line));
        progress.update(done, failures);
    });
    ticker.stop();
    progress.clear();

    const int notStarted = int(workers.size()) - pool.started();
    const Outcome order[] = {Outcome::Applied, Outcome::Unchanged, Outcome::DryRun, Outcome::Rejected,
                             Outcome::NotApplied, Outcome::Failed, Outcome::Invalid};
    QJsonObject summary;
    QStringList parts;
    for (const Outcome outcome : order) {
        if (outcome == Outcome::DryRun && !options.dryRun)
            continue;
        if (outcome == Outcome::Invalid && counts[outcome] == 0)
            continue;
        summary[outcomeName(outcome)] = counts[outcome];
        parts << QStringLiteral("%1 %2").arg(counts[outcome]).arg(outcomeName(outcome));
    }
    summary[QStringLiteral("rows")] = int(workers.size());
    summary[QStringLiteral("not-started")] = notStarted;
    summary[QStringLiteral("interrupted")] = interrupts.interrupted();
    summary[QStringLiteral("seconds")] = progress.elapsedSeconds();
    if (globals.json)
        printJson({{QStringLiteral("summary"), summary}});
    else
        printLine(stdout, QStringLiteral("%1 of %2 rows: %3%4 (%5)")
                              .arg(done)
                              .arg(workers.size())
                              .arg(parts.join(QStringLiteral(", ")))
                              .arg(interrupts.interrupted()
                                       ? QStringLiteral("; interrupted, %1 not started").arg(notStarted)
                                       : QString())
                              .arg(secondsText(progress.elapsedSeconds())));
    if (interrupts.interrupted())
        return kExitInterrupted;
    return failures > 0 ? kExitEncoder : kExitSuccess;
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

int commandScan(const Globals &globals, const QString &cidr, std::uint16_t port, int jobs, int timeoutMs)
{
    const auto hosts = scanHosts(cidr);
    if (!hosts) {
        complain(QStringLiteral("scan: \"%1\" is not ADDRESS/PREFIX with a prefix of 22 to 32").arg(cidr));
        return kExitUsage;
    }
    if (!LibraryUse(false).library)
        return kExitLibrary;
    // Small batches keep every worker busy; each batch is one process's links, one after another.
    const std::size_t batch = std::clamp<std::size_t>(hosts->size() / (std::size_t(jobs) * 4), 1, 32);
    std::vector<QStringList> workers;
    for (std::size_t i = 0; i < hosts->size(); i += batch) {
        QStringList arguments = globalWorkerArguments(globals, {formatDotted((*hosts)[i]), port});
        arguments << QStringLiteral("probe");
        for (std::size_t j = i; j < std::min(hosts->size(), i + batch); ++j)
            arguments << formatDotted((*hosts)[j]);
        workers.push_back(arguments);
    }
    WorkerPool pool(QCoreApplication::applicationFilePath(), jobs);
    pool.setForwardErrors(globals.verbose);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TESSALIN_TIMEOUT_MS"), QString::number(timeoutMs));
    pool.setEnvironment(environment);
    InterruptWatch interrupts;
    QObject::connect(&interrupts, &InterruptWatch::interrupt, &pool, [&pool] { pool.stop(); });
    std::map<std::uint32_t, QJsonObject> found;
    QStringList problems;
    pool.run(workers, [&](const WorkerPool::Result &result) {
        if (!result.problem.isEmpty())
            problems << result.problem;
        for (const QJsonObject &line : result.lines)
            if (line.value(QStringLiteral("answered")).toBool())
                found[*parseDotted(line.value(QStringLiteral("address")).toString())] = line;
    });
    for (const auto &[address, line] : found) {
        const QString encoder = QStringLiteral("%1:%2").arg(formatDotted(address)).arg(port);
        const QJsonValue mac = line.value(QStringLiteral("mac"));
        if (globals.json)
            printJson({{QStringLiteral("encoder"), encoder}, {QStringLiteral("mac"), mac}});
        else
            printLine(stdout, QStringLiteral("%1 %2").arg(encoder, mac.isString() ? mac.toString() : QStringLiteral("(read failed)")));
    }
    for (const QString &problem : problems)
        complain(problem);
    complain(QStringLiteral("scan: %1 of %2 addresses answered as an encoder").arg(found.size()).arg(hosts->size()));
    if (interrupts.interrupted())
        return kExitInterrupted;
    return problems.isEmpty() ? kExitSuccess : kExitEncoder;
}

// The worker side of scan: links to each address in turn, one link at a time.
int commandProbe(const QStringList &addresses, std::uint16_t port, bool verbose)
{
    LibraryUse use(verbose);
    if (!use.library)
        return kExitLibrary;
    for (const QString &address : addresses) {
        if (!parseDotted(address))
            return kExitUsage;
        EncoderSession session(use.library->api(), {address, port}, verbose);
        QJsonObject line{{QStringLiteral("address"), address}, {QStringLiteral("answered"), false}, {QStringLiteral("mac"), QJsonValue::Null}};
        if (session.connect() == 0) {
            line[QStringLiteral("answered")] = true;
            if (const auto read = session.read(); read.config)
                line[QStringLiteral("mac")] = read.config->macText();
        }
        printJson(line);
    }
    return kExitSuccess;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pnv3400ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PNV_VERSION));

    const GlobalOptions globalOptions;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads, checks and writes the network configuration of PNV-3400 "
                                                    "encoders through the device library.\n\n")
                                     + QLatin1String(kCommandsHelp));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addHelpOption();
    parser.addVersionOption();
    globalOptions.addTo(parser);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("read, write, save, load, check, scan or apply"));
    if (!parser.parse(QCoreApplication::arguments())) {
        complain(parser.errorText());
        return kExitUsage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kExitSuccess);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    QStringList rest = parser.positionalArguments();
    if (rest.isEmpty()) {
        complain(QStringLiteral("a command is needed; try 'pnv3400ctl --help'"));
        return kExitUsage;
    }
    const QString command = rest.takeFirst();

    const struct {
        const char *name;
        const char *synopsis;
        const char *description;
        int minPositional, maxPositional;
    } commands[] = {
        {"read", "read", "Connect, read, disconnect; print the configuration.", 0, 0},
        {"write", "write [options]",
         "Read the configuration, change the fields given, check the result against the rules, write it only if it "
         "differs, and read it back over the same link.\nA new address and port take effect when the encoder restarts.",
         0, 0},
        {"save", "save FILE", "Read the configuration and store it in FILE (replaced whole or not at all).", 1, 1},
        {"load", "load FILE", "Write what FILE holds, as write does; the whole file is checked before connecting.", 1, 1},
        {"check", "check [options] | check FILE",
         "Check fields, a saved configuration or an apply plan against the rules. Sends nothing.", 0, 1},
        {"scan", "scan CIDR", "List the addresses of CIDR (at most a /22) that answer as an encoder.", 1, 1},
        {"apply", "apply PLAN.csv",
         "Write every row of a plan, each in a worker process, as write does. The plan is checked whole first.\n"
         "A new address and port take effect when the encoder restarts.",
         1, 1},
        {"probe", "probe ADDRESS...", "Used by scan: link to each address in turn.", 1, 1024},
    };
    const auto *entry = std::find_if(std::begin(commands), std::end(commands),
                                    [&command](const auto &c) { return command == QLatin1String(c.name); });
    if (entry == std::end(commands)) {
        complain(QStringLiteral("unknown command \"%1\"; try 'pnv3400ctl --help'").arg(command));
        return kExitUsage;
    }
    CommandLine line(command, QLatin1String(entry->synopsis), QLatin1String(entry->description));
    QCommandLineParser &sub = line.parser();
    const FieldOptions fields;
    const QCommandLineOption scanPort{QStringLiteral("port"), QStringLiteral("Port to try (default 3001)."), QStringLiteral("P"), QStringLiteral("3001")};
    const QCommandLineOption timeout{QStringLiteral("timeout"),
                                     QStringLiteral("Milliseconds each library call may take (default 500)."),
                                     QStringLiteral("MS"), QStringLiteral("500")};
    if (command == QLatin1String("write") || command == QLatin1String("check"))
        fields.addTo(sub);
    const bool writes = command == QLatin1String("write") || command == QLatin1String("load")
                        || command == QLatin1String("apply");
    if (writes)
        sub.addOptions({kDryRun, kForce});
    if (command == QLatin1String("scan") || command == QLatin1String("apply"))
        sub.addOption(kJobs);
    if (command == QLatin1String("scan") || command == QLatin1String("probe"))
        sub.addOption(scanPort);
    if (command == QLatin1String("scan"))
        sub.addOption(timeout);
    if (!line.parse(rest, entry->minPositional, entry->maxPositional))
        return kExitUsage;

    const auto either = [&](const QCommandLineOption &global, const QCommandLineOption &local) {
        return sub.isSet(local) ? sub.value(local) : parser.value(global);
    };
    Globals globals;
    globals.json = parser.isSet(globalOptions.json) || sub.isSet(line.globals().json);
    globals.verbose = parser.isSet(globalOptions.verbose) || sub.isSet(line.globals().verbose);
    const auto given = [&](const QCommandLineOption &global, const QCommandLineOption &local) {
        return sub.isSet(local) || parser.isSet(global);
    };
    // An empty --encoder is no encoder at all, never the factory default: a
    // script with an unset variable must not configure some other device.
    const QString encoderText = either(globalOptions.encoder, line.globals().encoder);
    if (given(globalOptions.encoder, line.globals().encoder)) {
        const auto encoder = parseEncoderAddress(encoderText);
        if (!encoder) {
            complain(QStringLiteral("--encoder \"%1\" is not ADDRESS[:PORT] (dotted address, port 1 to 65535)").arg(encoderText));
            return kExitUsage;
        }
        globals.encoder = *encoder;
    }
    if (given(globalOptions.library, line.globals().library)) {
        const QString library = either(globalOptions.library, line.globals().library);
        if (library.isEmpty()) {
            complain(QStringLiteral("--library needs the path of the device library"));
            return kExitUsage;
        }
        qputenv("TESSALIN_LIBRARY", QFile::encodeName(library));   // workers inherit it
    }

    WriteOptions options;
    options.dryRun = writes && sub.isSet(kDryRun);
    options.force = writes && sub.isSet(kForce);
    options.verbose = globals.verbose;
    const QStringList positional = sub.positionalArguments();

    if (command == QLatin1String("read"))
        return commandRead(globals);
    if (command == QLatin1String("write"))
        return runWrite(globals, fields.texts(sub), options);
    if (command == QLatin1String("save"))
        return commandSave(globals, positional.first());
    if (command == QLatin1String("load"))
        return commandLoad(globals, positional.first(), options);
    if (command == QLatin1String("check"))
        return commandCheck(globals, fields.texts(sub), positional.value(0));

    if (command == QLatin1String("apply")) {
        const auto jobs = jobsValue(sub, 4);
        return jobs ? commandApply(globals, positional.first(), *jobs, options) : kExitUsage;
    }
    const auto port = parsePort(sub.value(scanPort));
    if (command == QLatin1String("probe"))
        return port ? commandProbe(positional, *port, globals.verbose) : kExitUsage;
    const auto jobs = jobsValue(sub, 8);
    bool ok = false;
    const int timeoutMs = sub.value(timeout).toInt(&ok);
    if (!jobs || !port || *port == 0 || !ok || timeoutMs < 1 || timeoutMs > 3000) {
        complain(QStringLiteral("scan: --port needs 1 to 65535, --jobs 1 to 64 and --timeout 1 to 3000 milliseconds"));
        return kExitUsage;
    }
    return commandScan(globals, positional.first(), *port, *jobs, timeoutMs);
}
