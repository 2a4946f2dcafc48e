#pragma once
// How a pnv3400ctl command ends and what it says. A command returns a Result;
// Output prints it, text for people or JSON for machines, in one place, so no
// handler decides where a line goes or ends the process itself.

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace pnv::ctl {

// The same for every command.
enum class ExitCode : int {
    Success = 0,
    Encoder = 1,       // an encoder failed or refused, or a file or the output could not be written
    Usage = 2,         // usage, syntax or rule error, or a file not read or not regular: nothing sent
    Library = 3,       // the device library could not be bound
    TimeLimit = 124,     // as timeout(1) ends
    HungUp = 129,        // 128 + SIGHUP
    Interrupted = 130,   // 128 + SIGINT
    Terminated = 143,    // 128 + SIGTERM
};

// The exit code of a command that a watched signal ended early.
ExitCode interruptedBy(int signalNumber);
// The signals a command that writes watches, so as to end as they ask only
// once the rows under way are finished.
QList<int> stoppingSignals();

struct ExitCodeRow {
    ExitCode code;
    const char *meaning;
};
// Every exit code with its meaning, in the order the help lists them.
const QList<ExitCodeRow> &exitCodeTable();

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
