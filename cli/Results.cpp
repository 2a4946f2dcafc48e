#include "Results.h"
#include "Messages.h"
#include "StandardStreams.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>
#include <cstdio>

namespace pnv::ctl {
namespace {

// Once standard output has failed (a full disk, a closed pipe), what would
// go there goes to standard error, the line that failed included: a row that
// finishes after the report was lost is still told somewhere.
void printLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = (text + u'\n').toLocal8Bit();
    const bool lostBefore = stream == stdout && standardOutputFailed();
    writeStream(lostBefore ? stderr : stream, bytes.constData());
    if (stream == stdout && !lostBefore && standardOutputFailed())
        writeStream(stderr, bytes.constData());
}

// Compact JSON with the C1 controls and the line and direction marks
// escaped too: JSON allows them raw, but a terminal or an editor that shows
// the output would act on them. Outside strings JSON holds none of them.
QString jsonLine(const QJsonObject &object)
{
    const QString compact = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    QString line;
    line.reserve(compact.size());
    for (const QChar ch : compact) {
        const char16_t c = ch.unicode();
        const bool mark = (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E)
                          || (c >= 0x2066 && c <= 0x2069);
        if (mark)
            line += QStringLiteral("\\u%1").arg(unsigned(c), 4, 16, QLatin1Char('0'));
        else
            line += ch;
    }
    return line;
}

QString errorKind(ExitCode exit)
{
    switch (exit) {
    case ExitCode::Usage: return QStringLiteral("usage");
    case ExitCode::Encoder: return QStringLiteral("failed");
    case ExitCode::Library: return QStringLiteral("library");
    case ExitCode::TimeLimit: return QStringLiteral("time-limit");
    default: return QStringLiteral("interrupted");
    }
}

// {"error", "exit", "errors"}: the object of a command that ends early.
QJsonObject earlyEnd(const Result &result)
{
    QList<Refusal> errors = result.errors;
    if (errors.isEmpty())
        for (const QString &note : result.notes)
            errors << Refusal{note};
    return {{QStringLiteral("error"), errorKind(result.exit)},
            {QStringLiteral("exit"), result.exitCode()},
            {QStringLiteral("errors"), jsonOf(errors)}};
}

void complain(const QString &text) { printLine(stderr, QStringLiteral("pnv3400ctl: ") + text); }

} // namespace

const QList<ExitCodeRow> &exitCodeTable()
{
    static const QList<ExitCodeRow> table{
        {ExitCode::Success, "success"},
        {ExitCode::Encoder, "an encoder failed or refused, or a file or the output could not be written"},
        {ExitCode::Usage, "usage, syntax or rule error, a new ip in use, or a file not read or not regular; nothing was written"},
        {ExitCode::Library, "the device library could not be bound"},
        {ExitCode::TimeLimit, "apply's --time-limit passed: rows under way finished and are reported; no new one started"},
        {ExitCode::HungUp, "ended by SIGHUP (a terminal or ssh session closed), as by SIGINT"},
        {ExitCode::Interrupted, "interrupted (SIGINT): rows under way finish and are reported; no new one starts"},
        {ExitCode::Terminated, "ended by SIGTERM, as by SIGINT"},
    };
    return table;
}

ExitCode interruptedBy(int signalNumber)
{
    switch (signalNumber) {
    case SIGHUP: return ExitCode::HungUp;
    case SIGTERM: return ExitCode::Terminated;
    default: return ExitCode::Interrupted;
    }
}

QList<int> stoppingSignals() { return {SIGINT, SIGTERM, SIGHUP}; }

QString Refusal::text() const
{
    if (file.isEmpty())
        return message;
    return line > 0 ? QStringLiteral("%1:%2: %3").arg(quotedName(file)).arg(line).arg(message)
                    : QStringLiteral("%1: %2").arg(quotedName(file), message);
}

QJsonObject Refusal::toJson() const
{
    const auto orNull = [](const QString &text) { return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text); };
    return {{QStringLiteral("error"), message},
            {QStringLiteral("line"), line > 0 ? QJsonValue(line) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("encoder"), orNull(encoder)},
            {QStringLiteral("field"), orNull(field)},
            {QStringLiteral("file"), orNull(file)}};
}

Refusal Refusal::fromJson(const QJsonObject &object)
{
    const auto text = [&object](const char *key) { return object.value(QLatin1String(key)).toString(); };
    return Refusal(text("error"), object.value(QStringLiteral("line")).toInt(), text("encoder"), text("field"), text("file"));
}

QStringList textsOf(const QList<Refusal> &refusals)
{
    QStringList texts;
    for (const Refusal &refusal : refusals)
        texts << refusal.text();
    return texts;
}

QJsonArray jsonOf(const QList<Refusal> &refusals)
{
    QJsonArray array;
    for (const Refusal &refusal : refusals)
        array << refusal.toJson();
    return array;
}

Result Result::refused(ExitCode exit, const QList<Refusal> &refusals, const QString &closing)
{
    Result result = failure(exit, textsOf(refusals));
    if (!closing.isEmpty())
        result.notes << closing;
    result.errors = refusals;
    return result;
}

Result Result::failure(ExitCode exit, const QStringList &notes)
{
    Result result;
    result.exit = exit;
    result.notes = notes;
    return result;
}

Result unboundLibrary(const QString &why)
{
    const QString message = QStringLiteral("cannot bind the device library: %1").arg(printable(why, 1024));
    Result result = Result::failure(ExitCode::Library, {message});
    QJsonObject object = earlyEnd(result);
    object[QStringLiteral("message")] = message;
    result.objects << object;
    return result;
}

void Output::print(const Result &result) const
{
    if (m_json) {
        for (const QJsonObject &object : result.objects)
            printLine(stdout, jsonLine(object));
        // A command that ends early with nothing else to say still answers in
        // JSON, so that a script never has to read stderr.
        if (result.objects.isEmpty() && result.exit != ExitCode::Success)
            printLine(stdout, jsonLine(earlyEnd(result)));
    } else {
        for (const QString &line : result.lines)
            printLine(stdout, line);
        for (const QString &problem : result.problems)
            complain(problem);
    }
    for (const QString &note : result.notes)
        complain(note);
}

void Output::printText(const QString &text)
{
    writeStream(stdout, text.toLocal8Bit().constData());
}

} // namespace pnv::ctl
