#include "Commission.h"

#include "BenchLock.h"
#include "CommissionPlan.h"
#include "Journal.h"
#include "Messages.h"
#include "SafeFiles.h"
#include "SignalWatch.h"
#include "StandardStreams.h"
#include "WriteFlow.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <unistd.h>

namespace pnv::ctl {
namespace {

const QCommandLineOption kJournal{QStringLiteral("journal"),
                                  QStringLiteral("The journal (default: beside PLAN, PLAN.journal.csv)."),
                                  QStringLiteral("FILE")};
const QCommandLineOption kWait{QStringLiteral("wait"),
                               QStringLiteral("Give up when a wait for an encoder to come or go lasts longer (default: "
                                              "no limit)."),
                               QStringLiteral("SECONDS")};
const QCommandLineOption kRedo{QStringLiteral("redo"),
                              QStringLiteral("Give a done row again to its own encoder when that answers at the factory "
                                             "address (factory-reset since, or its row changed in the plan).")};
const QCommandLineOption kDryRun{QStringLiteral("dry-run"),
                                 QStringLiteral("Say which row the encoder at the factory address, or the next one, would "
                                                "get; write nothing.")};

// How long one look for an encoder may take when nothing answers, and the
// least time between two looks: an encoder restarts in seconds, so a tenth of
// one is lost at most, and an absent one costs no connect of 3 s.
constexpr int kLookMs = 250;
constexpr int kPollMs = 100;
constexpr int kMaxWaitSeconds = 7 * 24 * 3600;

// What answers at the factory address right now.
struct Sighting {
    std::optional<EncoderConfig> config;   // none: nothing that reads
    QString problem;                       // it answered, but no configuration could be read
};

class Commissioning final {
public:
    Commissioning(const Invocation &call, const pnv::TessalinApi &api, const CommissionPlan &plan, Journal &journal)
        : m_call(call), m_api(api), m_plan(plan), m_journal(journal), m_encoder(call.globals.encoder),
          m_redo(call.isSet(kRedo)),
          m_bell(!call.globals.json && ::isatty(STDOUT_FILENO) == 1)
    {
        // A closed terminal or a stop from the system ends it as Ctrl+C does:
        // the write under way finishes and its outcome is journaled.
        m_interrupts.install(stoppingSignals());
        QObject::connect(&m_interrupts, &pnv::SignalWatch::signalled, &m_pause, &QEventLoop::quit);
    }

    Result run(std::optional<int> waitSeconds);
    Result dryRun();

private:
    enum class Choice { Row, AlreadyDone, Refused, NoRow };
    struct Decision {
        Choice choice = Choice::NoRow;
        const CommissionRow *row = nullptr;
        QString message;
    };

    Sighting look();
    Decision decide(const QString &mac) const;
    const CommissionRow *nextInOrder() const;
    int rowsLeft() const;
    // Whether the row was done with other values than the plan gives now.
    bool changedSince(const CommissionRow &row) const;
    // A row still to write: not done, or (with --redo) done with other values.
    bool open(const CommissionRow &row) const { return !m_journal.done(row.number) || (m_redo && changedSince(row)); }
    // Writes the row to the encoder that answers now, journaling before and after; false when the journal failed.
    bool commission(const EncoderConfig &seen, const CommissionRow &row, Result &stop);
    bool pause(int ms);
    void say(const QString &event, const QString &text, QJsonObject fields = {}, bool bell = false) const;
    Result ending(const QString &event, ExitCode exit, const QString &text) const;
    QString answersButText(const QString &problem) const
    {
        return QStringLiteral("something answers at %1, but %2").arg(m_encoder.text(), problem);
    }
    // Every row done; those done with other values than the plan's (without --redo) are named.
    Result finished() const;
    // Names each done row whose values the plan changed since, at the start.
    void tellChanged();
    // What the installer is told could not be written: no further encoder is taken.
    Result outputLost() const
    {
        return ending(QStringLiteral("output-lost"), ExitCode::Encoder,
                      QStringLiteral("standard output failed; no further encoder is written, the journal is whole"));
    }

    const Invocation &m_call;
    const pnv::TessalinApi &m_api;
    const CommissionPlan &m_plan;
    Journal &m_journal;
    EncoderAddress m_encoder;
    bool m_redo = false;
    QStringList m_changed;   // the done rows the plan changed since, without --redo
    bool m_bell = false;
    pnv::SignalWatch m_interrupts;
    QEventLoop m_pause;
};

QString rowText(const CommissionRow &row);

// What the installer does about an encoder whose write was cut short.
QString inDoubtAdvice(const QString &mac, const CommissionRow &row)
{
    return QStringLiteral("%1 was being given %2 when a run ended; whether it took it is unknown: connect it again at the "
                          "factory address to finish (it keeps its row), or, if it answers at %3 already, it holds it")
        .arg(mac, rowText(row), row.fields.ip);
}

QString rowText(const CommissionRow &row)
{
    return QStringLiteral("row %1 (ip %2%3%4%5)")
        .arg(row.number)
        .arg(row.fields.ip,
             row.fields.port.isNull() ? QString() : QStringLiteral(" port ") + row.fields.port,
             row.fields.gateway.isNull() ? QString() : QStringLiteral(" gateway ") + row.fields.gateway,
             row.fields.mask.isNull() ? QString() : QStringLiteral(" mask ") + row.fields.mask);
}

void Commissioning::say(const QString &event, const QString &text, QJsonObject fields, bool bell) const
{
    fields.insert(QStringLiteral("event"), event);
    fields.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert(QStringLiteral("message"), text);
    Result line;
    line.objects << fields;
    line.lines << (bell && m_bell ? QStringLiteral("\a") : QString()) + text;
    m_call.output.print(line);
}

Result Commissioning::ending(const QString &event, ExitCode exit, const QString &text) const
{
    const int done = int(m_plan.rows.size()) - rowsLeft();
    Result result;
    result.exit = exit;
    result.objects << QJsonObject{{QStringLiteral("event"), event},
                                  {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                                  {QStringLiteral("done"), done},
                                  {QStringLiteral("rows"), int(m_plan.rows.size())},
                                  {QStringLiteral("message"), text}};
    result.lines << QStringLiteral("%1 (%2 of %3 rows done)").arg(text).arg(done).arg(m_plan.rows.size());
    return result;
}

int Commissioning::rowsLeft() const
{
    return int(std::count_if(m_plan.rows.begin(), m_plan.rows.end(), [this](const CommissionRow &row) { return open(row); }));
}

bool Commissioning::changedSince(const CommissionRow &row) const
{
    if (!m_journal.done(row.number))
        return false;
    const net::ParsedFields then = net::parseFields(m_journal.doneFields(row.number));
    const net::PlannedConfig &now = row.change;
    return then.config.port != now.port || then.config.gateway != now.gateway || then.config.mask != now.mask;
}

const CommissionRow *Commissioning::nextInOrder() const
{
    for (const CommissionRow &row : m_plan.rows)
        if (row.mac.isEmpty() && m_journal.macOf(row.number).isEmpty())
            return &row;
    return nullptr;
}

Commissioning::Decision Commissioning::decide(const QString &mac) const
{
    const std::optional<int> bound = m_journal.rowOf(mac);
    const CommissionRow *own = m_plan.rowForMac(mac);
    if (bound && own && own->number != *bound)
        return {Choice::Refused, nullptr,
                QStringLiteral("%1 holds row %2 in the journal; the plan gives it row %3: a second address is refused")
                    .arg(mac)
                    .arg(*bound)
                    .arg(own->number)};
    // Done, and at the factory address again: it was factory-reset since.
    if (bound && m_journal.done(*bound) && !m_redo)
        return {Choice::AlreadyDone, &m_plan.rows[std::size_t(*bound - 1)],
                QStringLiteral("%1 was given %2 before and answers at the factory address again (factory-reset since?); "
                               "it is left as it is: run with --redo to give it its row again, or connect the next encoder")
                    .arg(mac, rowText(m_plan.rows[std::size_t(*bound - 1)]))};
    const CommissionRow *row = bound ? &m_plan.rows[std::size_t(*bound - 1)] : own ? own : nextInOrder();
    if (!row)
        return {Choice::NoRow, nullptr,
                QStringLiteral("%1 has no row: every row left is another encoder's; connect the next encoder").arg(mac)};
    // A row the journal gives to another MAC is never chosen here: nextInOrder()
    // skips bound rows, and a plan whose mac cell differs from the journal was
    // refused at the start.
    return {Choice::Row, row, {}};
}

Sighting Commissioning::look()
{
    Sighting sighting;
    const auto address = net::parseDotted(m_encoder.host);
    // A short probe first: a missing encoder would hold a connect for the library's whole 3 s.
    if (!address || !net::probeAddress(*address, m_encoder.port, kLookMs).answered)
        return sighting;
    EncoderSession session(m_api, m_encoder, m_call.globals.verbose);
    // A link refused is nothing there yet (an encoder still starting); a link
    // taken that never becomes an encoder's is something else at the address.
    if (const int code = session.connect(); code != TESSALIN_SUCCESS) {
        if (code == TESSALIN_TIME_OUT)
            sighting.problem = QStringLiteral("it accepts a connection and never answers as an encoder does (%1): is another "
                                              "device or program at this address?")
                                   .arg(describeCode(code));
        else if (code == TESSALIN_RECEIVE_ERROR)
            sighting.problem = QStringLiteral("it answers with bytes that are not an encoder's reply (%1): another device "
                                              "or program holds this address")
                                   .arg(describeCode(code));
        return sighting;
    }
    const auto read = session.read();
    sighting.config = read.config;
    if (!read.config)
        sighting.problem = QStringLiteral("read: %1").arg(describeCode(read.code));
    return sighting;
}

bool Commissioning::pause(int ms)
{
    if (m_interrupts.caught())
        return false;
    QTimer::singleShot(ms, &m_pause, &QEventLoop::quit);
    m_pause.exec();
    return !m_interrupts.caught();
}

bool Commissioning::commission(const EncoderConfig &seen, const CommissionRow &row, Result &stop)
{
    const QString mac = seen.macText();
    JournalLine line{mac, row.number, row.fields, QStringLiteral("writing"), {}};
    if (const QString error = m_journal.append(line); !error.isEmpty()) {
        stop = ending(QStringLiteral("journal-failed"), ExitCode::Encoder,
                      error + QStringLiteral("; nothing was written to %1").arg(mac));
        return false;
    }
    WriteOptions options;
    options.verbose = m_call.globals.verbose;
    options.interrupted = [this] {
        QCoreApplication::processEvents();
        return m_interrupts.caught();
    };
    const WriteReport report = writeEncoder(m_api, m_encoder, row.change, options);
    line.outcome = outcomeName(report.outcome);
    line.message = report.messages.join(QStringLiteral("; "));
    const QString journaled = m_journal.append(line);
    QJsonObject fields{{QStringLiteral("mac"), mac},
                       {QStringLiteral("row"), row.number},
                       {QStringLiteral("line"), row.line},
                       {QStringLiteral("report"), report.toJson()}};
    if (report.exit() == ExitCode::Success)
        say(QStringLiteral("done"),
            QStringLiteral("%1 now holds %2: %3; connect the next encoder").arg(mac, rowText(row), outcomeName(report.outcome)),
            fields, true);
    else
        say(QStringLiteral("failed"),
            QStringLiteral("%1: %2 not given: %3; disconnect it and connect it again to retry")
                .arg(mac, rowText(row), report.describe()),
            fields, true);
    if (!journaled.isEmpty()) {
        stop = ending(QStringLiteral("journal-failed"), ExitCode::Encoder,
                      journaled + QStringLiteral("; the outcome for %1 is not journaled, stopped").arg(mac));
        return false;
    }
    return true;
}

Result Commissioning::run(std::optional<int> waitSeconds)
{
    QString present;        // the MAC handled last, until it stops answering
    QString unreadable;     // a problem already told
    bool announced = false;
    // Each wait, for an encoder to come or to go, has its own limit.
    const auto waitFromNow = [&waitSeconds] {
        return waitSeconds ? QDeadlineTimer(qint64(*waitSeconds) * 1000) : QDeadlineTimer(QDeadlineTimer::Forever);
    };
    QDeadlineTimer waitLimit = waitFromNow();
    tellChanged();
    // A run that ended during a write (killed, the power gone) left its row
    // "writing": whether the encoder took it is not known until it is seen again.
    QStringList inDoubt;
    for (const CommissionRow &row : m_plan.rows) {
        const QString mac = m_journal.macOf(row.number);
        if (m_journal.done(row.number) || m_journal.lastOutcome(row.number) != QLatin1String("writing"))
            continue;
        const QString advice = inDoubtAdvice(mac, row);
        inDoubt << advice;
        say(QStringLiteral("in-doubt"), advice, {{QStringLiteral("mac"), mac}, {QStringLiteral("row"), row.number}});
    }
    for (;;) {
        if (!present.isEmpty())
            inDoubt.removeIf([&present](const QString &advice) { return advice.startsWith(present); });
        if (rowsLeft() == 0)
            return finished();
        if (!announced) {
            const CommissionRow *next = nextInOrder();
            say(QStringLiteral("waiting"),
                QStringLiteral("waiting for %1 at %2 (%3 rows left%4)")
                    .arg(present.isEmpty() ? QStringLiteral("an encoder") : QStringLiteral("the next encoder"), m_encoder.text())
                    .arg(rowsLeft())
                    .arg(next ? QStringLiteral("; next in order: row %1, ip %2").arg(next->number).arg(next->fields.ip) : QString()),
                {{QStringLiteral("rows-left"), rowsLeft()}});
            announced = true;
        }
        QCoreApplication::processEvents();
        if (m_interrupts.caught())
            return ending(QStringLiteral("interrupted"), interruptedBy(m_interrupts.caughtSignal()),
                          QStringLiteral("interrupted; the journal is whole"));
        if (pnv::standardOutputFailed())
            return outputLost();
        if (waitLimit.hasExpired())
            return ending(QStringLiteral("timeout"), ExitCode::Encoder,
                          QStringLiteral("no change at %1 within %2 s%3%4")
                              .arg(m_encoder.text())
                              .arg(*waitSeconds)
                              .arg(unreadable.isEmpty() ? QString() : QStringLiteral("; ") + answersButText(unreadable))
                              .arg(inDoubt.isEmpty() ? QString() : QStringLiteral("; ") + inDoubt.join(QStringLiteral("; "))));
        const Sighting sighting = look();
        if (!sighting.config) {
            if (!sighting.problem.isEmpty() && sighting.problem != unreadable)
                say(QStringLiteral("unreadable"), answersButText(sighting.problem));
            unreadable = sighting.problem;
            if (sighting.problem.isEmpty() && !present.isEmpty()) {
                say(QStringLiteral("gone"), QStringLiteral("%1 no longer answers").arg(present), {{QStringLiteral("mac"), present}});
                present.clear();
                waitLimit = waitFromNow();
            }
            pause(kPollMs);
            continue;
        }
        unreadable.clear();
        const QString mac = sighting.config->macText();
        if (mac == present) {
            pause(kPollMs);
            continue;
        }
        present = mac;
        announced = false;
        waitLimit = waitFromNow();
        const Decision decision = decide(mac);
        const QJsonObject fields{{QStringLiteral("mac"), mac},
                                 {QStringLiteral("row"), decision.row ? QJsonValue(decision.row->number) : QJsonValue()}};
        switch (decision.choice) {
        case Choice::AlreadyDone:
            say(QStringLiteral("already-done"), decision.message, fields, true);
            continue;
        case Choice::Refused:
            say(QStringLiteral("refused"), decision.message, fields, true);
            continue;
        case Choice::NoRow:
            say(QStringLiteral("no-row"), decision.message, fields, true);
            continue;
        case Choice::Row:
            break;
        }
        say(QStringLiteral("encoder"), QStringLiteral("%1 answers; writing %2").arg(mac, rowText(*decision.row)), fields);
        if (pnv::standardOutputFailed())
            return outputLost();
        Result stop;
        if (!commission(*sighting.config, *decision.row, stop))
            return stop;
    }
}

// The plan was edited after a row was done: its encoder keeps what it was given.
void Commissioning::tellChanged()
{
    for (const CommissionRow &row : m_plan.rows) {
        if (!changedSince(row))
            continue;
        const net::FieldTexts then = m_journal.doneFields(row.number);
        const QString mac = m_journal.macOf(row.number);
        say(QStringLiteral("changed"),
            QStringLiteral("%1 was given row %2 with port %3, gateway %4, mask %5; the plan now gives %6: %7")
                .arg(mac)
                .arg(row.number)
                .arg(then.port.isEmpty() ? QStringLiteral("(kept)") : then.port,
                     then.gateway.isEmpty() ? QStringLiteral("(kept)") : then.gateway,
                     then.mask.isEmpty() ? QStringLiteral("(kept)") : then.mask, rowText(row),
                     m_redo ? QStringLiteral("it is given the plan's when it answers at the factory address (factory-reset)")
                            : QStringLiteral("its encoder keeps what it was given unless run with --redo")),
            {{QStringLiteral("mac"), mac}, {QStringLiteral("row"), row.number}});
        if (!m_redo)
            m_changed << QString::number(row.number);
    }
}

Result Commissioning::finished() const
{
    if (m_changed.isEmpty())
        return ending(QStringLiteral("finished"), ExitCode::Success, QStringLiteral("every row is done"));
    return ending(QStringLiteral("finished"), ExitCode::Encoder,
                  QStringLiteral("every row is done, but %1 done with other values than the plan gives now; run with --redo "
                                 "and connect each factory-reset to give it the plan's")
                      .arg(m_changed.size() == 1 ? QStringLiteral("row %1 was").arg(m_changed.first())
                                               : QStringLiteral("rows %1 were").arg(m_changed.join(QStringLiteral(", ")))));
}

Result Commissioning::dryRun()
{
    if (rowsLeft() == 0)
        return finished();
    const Sighting sighting = look();
    if (!sighting.config) {
        const CommissionRow *next = nextInOrder();
        return ending(QStringLiteral("dry-run"), ExitCode::Success,
                      QStringLiteral("nothing reads at %1%2; the next encoder without a row of its own would get %3")
                          .arg(m_encoder.text(),
                               sighting.problem.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(sighting.problem),
                               next ? rowText(*next) : QStringLiteral("no row: every row left is another encoder's")));
    }
    const QString mac = sighting.config->macText();
    const Decision decision = decide(mac);
    if (decision.choice != Choice::Row)
        return ending(QStringLiteral("dry-run"), ExitCode::Success, decision.message);
    WriteOptions options;
    options.dryRun = true;
    options.verbose = m_call.globals.verbose;
    const WriteReport report = writeEncoder(m_api, m_encoder, decision.row->change, options);
    say(QStringLiteral("would-write"), QStringLiteral("%1 would get %2: %3").arg(mac, rowText(*decision.row), report.describe()),
        {{QStringLiteral("mac"), mac}, {QStringLiteral("row"), decision.row->number}, {QStringLiteral("report"), report.toJson()}});
    return ending(QStringLiteral("dry-run"), report.exit(), QStringLiteral("dry run; nothing written"));
}

Result commandCommission(const Invocation &call)
{
    std::optional<int> waitSeconds;
    if (call.isSet(kWait)) {
        bool ok = false;
        waitSeconds = call.value(kWait).toInt(&ok);
        if (!ok || *waitSeconds < 1 || *waitSeconds > kMaxWaitSeconds)
            return Result::usage(QStringLiteral("commission: --wait needs whole seconds, 1 to %1").arg(kMaxWaitSeconds));
    }
    const QString planPath = call.positional.first();
    FileResult read = readInputFile(planPath, kPlanFileLimit, false);
    if (!read.ok())
        return Result::usage(read.error);
    const auto factory = net::parseDotted(call.globals.encoder.host);
    const CommissionPlan plan = parseCommissionPlan(read.data, planPath, factory.value_or(0));
    if (!plan.errors.isEmpty())
        return Result::refused(ExitCode::Usage, plan.errors, QStringLiteral("the plan is refused whole; no encoder was touched"));
    BenchLock bench;
    if (!call.isSet(kDryRun))
        if (const QString held = bench.take(call.globals.encoder, planPath); !held.isEmpty())
            return Result::refused(ExitCode::Usage, {Refusal{held}}, QStringLiteral("no encoder was touched"));
    const QString journalPath = call.isSet(kJournal) ? call.value(kJournal) : Journal::besidePlan(planPath);
    if (journalPath.isEmpty())
        return Result::usage(QStringLiteral("commission: --journal needs a file"));
    Journal journal;
    QList<Refusal> errors = journal.open(journalPath, !call.isSet(kDryRun));
    if (errors.isEmpty())
        errors = journal.disagreements(plan);
    if (!errors.isEmpty())
        return Result::refused(ExitCode::Usage, errors,
                               QStringLiteral("the journal does not fit the plan; no encoder was touched (a new site needs "
                                              "a new journal)"));

    const pnv::TessalinLibrary::LoadResult loaded = pnv::TessalinLibrary::load();
    if (!loaded.library)
        return unboundLibrary(QString::fromStdString(loaded.error));
    Result result;
    {
        Commissioning commissioning(call, loaded.library->api(), plan, journal);
        result = call.isSet(kDryRun) ? commissioning.dryRun() : commissioning.run(waitSeconds);
    }
    loaded.library->api().DLLClose();
    return result;
}

} // namespace

Command commissionCommand()
{
    return Command(QStringLiteral("commission"), commandCommission)
        .takes(QStringLiteral("PLAN.csv"), 1, 1)
        .summary(QStringLiteral("give factory-reset encoders their rows (ip,port,gateway,mask[,mac]) one after another"))
        .description(QStringLiteral(
                "Wait for an encoder at the factory address (or --encoder), read its MAC, write its row of PLAN as write\n"
                "does (rules, address in use, verified read-back), journal the outcome, ring the terminal bell and say\n"
                "that the next encoder can be connected; then wait until this one is gone or another answers. Without a\n"
                "mac column rows go in order; with it, an encoder gets its own row. The journal (CSV: time, MAC, row,\n"
                "the row's fields, outcome) is appended and synced after every write; a second run with it resumes.\n"
                "Ends when every row is done (exit 0), or on Ctrl+C, SIGHUP or SIGTERM (exit 130, 129, 143) once the\n"
                "write under way is journaled. One commission runs per factory address on this computer at a time."))
        .withOptions({kJournal, kWait, kRedo, kDryRun});
}

} // namespace pnv::ctl
