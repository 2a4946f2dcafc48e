#pragma once
// How a pnv3400ctl command ends and what it says. A command returns a Result;
// Output prints it, text for people or JSON for machines, in one place, so no
// handler decides where a line goes or ends the process itself.

#include "Outcomes.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace pnv::ctl {

// The road to an encoder and its outcomes are the core's; the commands name them as their own.
using namespace pnv::road;

// The exit code of a command that a watched signal ended early.
ExitCode interruptedBy(int signalNumber);
// The signals a command that writes watches, so as to end as they ask only
// once the rows under way are finished.
QList<int> stoppingSignals();

struct Result {
    ExitCode exit = ExitCode::Success;
    QList<QJsonObject> objects;   // stdout with --json
    QStringList lines;            // stdout without --json
    QStringList problems;         // stderr without --json (with it, the objects say the same)
    QStringList notes;            // stderr either way
    // With --json, the "errors" of a command that ends early without objects
    // of its own; when empty, each note stands as an error.
    QList<Refusal> errors;

    // A command that ends with `exit` and says why on stderr.
    static Result failure(ExitCode exit, const QStringList &notes);
    static Result usage(const QString &note) { return failure(ExitCode::Usage, {note}); }
    // Ends with `exit`: each refusal a line on stderr and an error in JSON,
    // then `closing`, which says what follows from them, on stderr only.
    static Result refused(ExitCode exit, const QList<Refusal> &refusals, const QString &closing = {});
    int exitCode() const { return static_cast<int>(exit); }
};

// The device library could not be bound (`why` as the loader said it):
// {"error": "library", "exit", "errors", "message"}.
Result unboundLibrary(const QString &why);

class Output final {
public:
    explicit Output(bool json = false) : m_json(json) {}
    void setJson(bool json) { m_json = json; }

    void print(const Result &result) const;
    // A help or version text, as it is, whatever the mode.
    static void printText(const QString &text);

private:
    bool m_json = false;
};

} // namespace pnv::ctl
