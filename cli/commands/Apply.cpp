// apply: every row of a plan, as write does, in worker processes.

#include "Shared.h"

#include "SafeFiles.h"
#include "StandardStreams.h"
#include "TextFiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <unistd.h>

namespace pnv::ctl::commands {
namespace {

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
        const double elapsed = elapsedSeconds();
        const QString left = m_done == 0 ? QStringLiteral("?") : secondsText(elapsed / m_done * (m_total - m_done));
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

// The in-use check of every row that gives a new address, side by side and
// before the first write, so that a large re-addressing plan costs a few
// probe times rather than one per row; each row's worker is handed its result.
std::vector<QString> planProbes(const Plan &plan, const WriteOptions &write)
{
    std::vector<QString> texts(plan.rows.size());
    if (write.force || write.allowInUse)
        return texts;
    std::vector<net::ProbeTarget> targets;
    std::vector<std::size_t> rowOf;
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow &row = plan.rows[i];
        if (!row.change.ip || net::parseDotted(row.encoder.host) == row.change.ip)
            continue;
        targets.push_back({*row.change.ip, row.change.port.value_or(row.encoder.port)});
        rowOf.push_back(i);
    }
    const std::vector<net::AddressProbe> results = net::probeAddresses(targets);
    for (std::size_t k = 0; k < targets.size(); ++k)
        texts[rowOf[k]] = probeText(targets[k], results[k]);
    return texts;
}

// Each row as the write command line a worker runs.
std::vector<QStringList> rowCommandLines(const Plan &plan, const Globals &globals, const WriteOptions &write,
                                         const std::vector<QString> &probes)
{
    const Options &o = options();
    std::vector<QStringList> lines;
    lines.reserve(plan.rows.size());
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow &row = plan.rows[i];
        QStringList arguments = workerArguments(globals, row.encoder);
        arguments << QStringLiteral("write");
        const std::pair<const QCommandLineOption &, QString> fields[] = {
            {o.ip, row.fields.ip}, {o.port, row.fields.port}, {o.gateway, row.fields.gateway}, {o.mask, row.fields.mask}};
        for (const auto &[option, value] : fields)
            if (!value.isNull())
                arguments << QStringLiteral("--") + option.names().first() << value;
        if (!probes[i].isEmpty())
            arguments << QStringLiteral("--probed") << probes[i];
        if (write.dryRun)
            arguments << QStringLiteral("--dry-run");
        if (write.force)
            arguments << QStringLiteral("--force");
        if (write.allowInUse)
            arguments << QStringLiteral("--allow-in-use");
        lines.push_back(arguments);
    }
    return lines;
}

// The row's report as its worker printed it; nothing when it printed none.
std::optional<WriteReport> rowReport(const WorkerPool::Result &ended)
{
    return ended.lines.isEmpty() ? std::nullopt : WriteReport::fromJson(ended.lines.last());
}

// Whether a configuration read holds every field the row gives.
bool holdsRequested(const QJsonObject &held, const PlanRow &row)
{
    const net::PlannedConfig &change = row.change;
    const auto address = [&held](const char *key) { return net::parseDotted(held.value(QLatin1String(key)).toString()); };
    return (!change.ip || address("ip") == change.ip) && (!change.gateway || address("gateway") == change.gateway)
           && (!change.mask || address("mask") == change.mask)
           && (!change.port || held.value(QStringLiteral("port")).toInt() == *change.port);
}

// A row whose worker ended without a report may or may not have been
// written: it is told by what the encoder holds when read again. Holding what
// was asked counts as applied (a handler that runs once too often does less
// harm than one that never runs); anything else is unknown.
WriteReport readBackReport(const PlanRow &row, const QString &why, const QList<QJsonObject> &readLines)
{
    const QString encoder = row.encoder.text();
    const QJsonObject held = readLines.isEmpty() ? QJsonObject() : readLines.last();
    if (!held.contains(QStringLiteral("ip")))
        return {encoder, WriteOutcome::Unknown, QJsonValue::Null, QJsonValue::Null, held.value(QStringLiteral("code")),
                {QStringLiteral("%1; reading the encoder afterwards failed too: %2")
                     .arg(why, held.value(QStringLiteral("message")).toString(QStringLiteral("no report")))},
                {},
                {}};
    QJsonObject after = held;
    after.remove(QStringLiteral("encoder"));
    after.remove(QStringLiteral("prefix"));
    if (holdsRequested(held, row))
        return {encoder, WriteOutcome::Applied, QJsonValue::Null, after, QJsonValue::Null,
                {QStringLiteral("%1; read afterwards, the encoder holds what was asked").arg(why)}, {}, {}};
    return {encoder, WriteOutcome::Unknown, QJsonValue::Null, after, QJsonValue::Null,
            {QStringLiteral("%1; read afterwards, the encoder does not hold what was asked").arg(why)}, {}, {}};
}

struct Tally {
    std::map<WriteOutcome, int> counts;
    int done = 0;
    int failures = 0;

    void add(const WriteReport &report)
    {
        ++counts[report.outcome];
        ++done;
        if (report.exit() != ExitCode::Success)
            ++failures;
    }
};

// The last line of apply: every outcome counted, and how it ends.
// How a run ended early, if it did.
struct Stop {
    int signalNumber = 0;
    bool timedOut = false;
    bool outputLost = false;   // standard output failed: no row was started after

    bool early() const { return signalNumber != 0 || timedOut || outputLost; }
    QString why() const
    {
        return outputLost ? QStringLiteral("output lost") : timedOut ? QStringLiteral("time limit passed") : QStringLiteral("interrupted");
    }
};

Result summaryResult(const Tally &tally, int rows, int notStarted, const Stop &stop, bool dryRun, double seconds)
{
    const bool interrupted = stop.early();
    const int signalNumber = stop.signalNumber;
    const bool timedOut = stop.timedOut;
    QJsonObject summary;
    QStringList parts;
    const auto count = [&tally](WriteOutcome outcome) {
        const auto found = tally.counts.find(outcome);
        return found == tally.counts.end() ? 0 : found->second;
    };
    for (const OutcomeRow &row : outcomeTable()) {
        if (row.outcome == WriteOutcome::DryRun && !dryRun)
            continue;
        if ((row.outcome == WriteOutcome::Invalid || row.outcome == WriteOutcome::Unknown) && count(row.outcome) == 0)
            continue;
        summary[QLatin1String(row.name)] = count(row.outcome);
        parts << QStringLiteral("%1 %2").arg(count(row.outcome)).arg(QLatin1String(row.name));
    }
    summary[QStringLiteral("rows")] = rows;
    summary[QStringLiteral("not-started")] = notStarted;
    summary[QStringLiteral("interrupted")] = interrupted;
    summary[QStringLiteral("time-limit-passed")] = timedOut;
    summary[QStringLiteral("output-lost")] = stop.outputLost;
    summary[QStringLiteral("seconds")] = seconds;
    Result result;
    // As write ends: a row an encoder failed or refused weighs more than one
    // refused by the rules after its read, which alone ends as write's invalid.
    const bool encoderFailed = tally.failures > count(WriteOutcome::Invalid);
    // Output that could not be written outweighs what it failed to tell.
    result.exit = signalNumber      ? interruptedBy(signalNumber)
                  : timedOut        ? ExitCode::TimeLimit
                  : stop.outputLost ? ExitCode::Encoder
                  : encoderFailed   ? ExitCode::Encoder
                  : tally.failures  ? ExitCode::Usage
                                    : ExitCode::Success;
    result.objects << QJsonObject{{QStringLiteral("summary"), summary}};
    result.lines << QStringLiteral("%1 of %2 rows: %3%4 (%5)")
                        .arg(tally.done)
                        .arg(rows)
                        .arg(parts.join(QStringLiteral(", ")))
                        .arg(interrupted ? QStringLiteral("; %1, %2 not started").arg(stop.why()).arg(notStarted)
                                         : QString())
                        .arg(secondsText(seconds));
    return result;
}

// Reads each unreported row's encoder in a worker of its own (a stop
// signal does not hold these back: each is one short read) and prints what it shows.
void readBackUnreported(const Plan &plan, const Globals &globals,
                        const std::vector<std::pair<std::size_t, QString>> &unreported,
                        const std::function<void(const PlanRow &, WriteReport)> &print)
{
    if (unreported.empty())
        return;
    std::vector<QStringList> reads;
    for (const auto &[index, why] : unreported)
        reads.push_back(workerArguments(globals, plan.rows[index].encoder) << QStringLiteral("read"));
    WorkerPool pool(QCoreApplication::applicationFilePath(), int(std::min<std::size_t>(reads.size(), 4)));
    pool.setForwardErrors(globals.verbose);
    pool.run(reads, [&](const WorkerPool::Result &ended) {
        const auto &[index, why] = unreported[static_cast<std::size_t>(ended.index)];
        print(plan.rows[index], readBackReport(plan.rows[index], why, ended.lines));
    });
}

// Reads and judges the whole plan; nothing when it is refused, with `failure` saying why.
std::optional<Plan> acceptedPlan(const QString &path, bool force, Result &failure)
{
    const auto text = readWholeFile(path, kPlanFileLimit, failure);
    if (!text)
        return std::nullopt;
    Plan plan = parsePlan(*text, path, force);
    if (plan.errors.isEmpty())
        return plan;
    failure = Result::refused(ExitCode::Usage, plan.errors, QStringLiteral("the plan is refused whole; nothing was sent"));
    failure.objects << QJsonObject{{QStringLiteral("error"), QStringLiteral("plan")},
                                   {QStringLiteral("exit"), failure.exitCode()},
                                   {QStringLiteral("file"), path},
                                   {QStringLiteral("errors"), jsonOf(plan.errors)}};
    return std::nullopt;
}

Result apply(const Invocation &call)
{
    const Globals &globals = call.globals;
    const WriteOptions write = writeOptions(call);
    const auto jobs = jobsValue(call, 4);
    if (!jobs)
        return Result::usage(kJobsRange);
    const bool limited = call.isSet(options().timeLimit);
    const auto limit = limited ? strictNumber(call.value(options().timeLimit), 1, 86400) : std::nullopt;
    if (limited && !limit)
        return Result::usage(QStringLiteral("--time-limit needs a number of seconds from 1 to 86400"));
    const int limitSeconds = limit.value_or(0);
    const QString path = call.positional.first();
    Result failure;
    const auto plan = acceptedPlan(path, write.force, failure);
    if (!plan)
        return failure;
    if (const LibraryUse library(false, LibraryUse::Purpose::CheckOnly); !library.api())
        return library.failure();

    Workers workers(globals, *jobs);
    // The limit is pnv3400ctl's own, so that whoever gave it (a task's
    // time-out) gets every row reported instead of a process ended blind.
    QTimer limitTimer;
    limitTimer.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&limitTimer, &QTimer::timeout, &workers.pool, [&] {
        timedOut = true;
        workers.pool.stop();
    });
    if (limited)
        limitTimer.start(std::chrono::seconds(limitSeconds));
    ProgressLine progress(int(plan->rows.size()));
    const std::vector<QStringList> rows = rowCommandLines(*plan, globals, write, planProbes(*plan, write));
    QCoreApplication::processEvents();   // a Ctrl+C during the probes: no row is started
    Tally tally;
    bool outputLost = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &workers.pool, [&progress] { progress.draw(); });
    ticker.start(250);
    progress.draw();
    const auto print = [&](const PlanRow &row, WriteReport report) {
        // A refusal after the read is placed at its row, as the plan's own are.
        for (Refusal &refusal : report.refusals) {
            refusal.line = row.line;
            refusal.file = path;
        }
        tally.add(report);
        progress.clear();
        Result line;
        line.objects << report.toJson();
        line.lines << QStringLiteral("%1 (line %2)").arg(report.describe()).arg(row.line);
        for (const QString &warning : report.warnings)
            line.notes << QStringLiteral("%1: %2 (line %3)").arg(report.encoder, warning).arg(row.line);
        call.output.print(line);
        // Rows written from now on could not be reported: start none.
        if (pnv::standardOutputFailed() && !outputLost) {
            outputLost = true;
            workers.pool.stop();
        }
        progress.update(tally.done, tally.failures);
    };
    std::vector<std::pair<std::size_t, QString>> unreported;   // row and why
    workers.pool.run(rows, [&](const WorkerPool::Result &ended) {
        const auto index = static_cast<std::size_t>(ended.index);
        if (const auto report = rowReport(ended))
            print(plan->rows[index], *report);
        else
            unreported.emplace_back(index, ended.problem);
    });
    readBackUnreported(*plan, globals, unreported, print);
    ticker.stop();
    progress.clear();
    const bool cutShort = workers.pool.started() < int(rows.size());
    const Stop stop{workers.interrupts.caughtSignal(), timedOut && cutShort, outputLost};
    return summaryResult(tally, int(rows.size()), int(rows.size()) - workers.pool.started(), stop, write.dryRun,
                         progress.elapsedSeconds());
}

} // namespace

Command applyCommand()
{
    const Options &o = options();
    return Command(QStringLiteral("apply"), apply)
        .takes(QStringLiteral("PLAN.csv"), 1, 1)
        .summary(QStringLiteral("write every row of a plan (header encoder,ip,port,gateway,mask)"))
        .description(QStringLiteral("Write every row of a plan, as write does, in up to --jobs worker processes. The "
                                    "plan is checked whole first.\n")
                     + kNewAddressNote)
        .withOptions({o.jobs, o.dryRun, o.force, o.allowInUse, o.timeLimit});
}

} // namespace pnv::ctl::commands
