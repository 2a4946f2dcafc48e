#pragma once
// How a write to an encoder ends, as data that every front end reports the
// same way: the outcomes with their exit codes, the exit codes of
// pnv3400ctl, and a refusal placed where it belongs. "failed" means "not
// written": a write whose answer was lost is settled by reading the encoder
// again, and is "unknown" only when that read cannot be made.

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace pnv::road {

// The same for every command.
enum class ExitCode : int {
    Success = 0,
    Encoder = 1,       // an encoder failed or refused, or a file or the output could not be written
    Usage = 2,         // usage, syntax or rule error, or a file not read or not regular: nothing sent
    Library = 3,       // the device library could not be bound
    Unknown = 4,       // a write's answer was lost and the encoder could not be read again: it may hold the change
    TimeLimit = 124,     // as timeout(1) ends
    HungUp = 129,        // 128 + SIGHUP
    Interrupted = 130,   // 128 + SIGINT
    Terminated = 143,    // 128 + SIGTERM
};

struct ExitCodeRow {
    ExitCode code;
    const char *meaning;
};
// Every exit code with its meaning, in the order the help lists them.
const QList<ExitCodeRow> &exitCodeTable();

enum class WriteOutcome { Applied, Unchanged, DryRun, Rejected, NotApplied, Failed, Invalid, Unknown };

// Whether the encoder holds something new after the write.
enum class Changed { No, Yes, Unknown };

// The one table of outcomes: what the help prints, and what the manual page
// and the Ansible modules are checked against.
struct OutcomeRow {
    WriteOutcome outcome;
    const char *name;
    ExitCode exit;
    Changed changed;   // the encoder holds (or, in a dry run, would hold) something new
    bool failed;       // a task that meets it has not reached what it asked for
    const char *meaning;
};
// Every outcome, in the order of the enum, which is the order summaries list them.
const QList<OutcomeRow> &outcomeTable();
const OutcomeRow &outcomeRow(WriteOutcome outcome);
QString outcomeName(WriteOutcome outcome);
std::optional<WriteOutcome> outcomeFromName(const QString &name);
// "yes", "no" or "unknown", as the help's table says it.
QString changedText(Changed changed);

// One error as data, so that no script has to split a message: where it is
// (the file and its line, the encoder of the row, the field) where known, and
// what it says. Unknown parts stay empty, or 0 for the line.
struct Refusal {
    Refusal(QString message = {}, int line = 0, QString encoder = {}, QString field = {}, QString file = {})
        : message(std::move(message)), line(line), encoder(std::move(encoder)), field(std::move(field)), file(std::move(file))
    {
    }
    QString message;
    int line = 0;
    QString encoder;
    QString field;
    QString file;

    // As people read it: "FILE:LINE: message", "FILE: message" or the message.
    QString text() const;
    // {"error", "line", "encoder", "field", "file"}, null where not known.
    QJsonObject toJson() const;
    static Refusal fromJson(const QJsonObject &object);
};
QStringList textsOf(const QList<Refusal> &refusals);
QJsonArray jsonOf(const QList<Refusal> &refusals);

} // namespace pnv::road
