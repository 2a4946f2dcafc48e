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


ExitCode interruptedBy(int signalNumber)
{
    switch (signalNumber) {
    case SIGHUP: return ExitCode::HungUp;
    case SIGTERM: return ExitCode::Terminated;
    default: return ExitCode::Interrupted;
    }
}

QList<int> stoppingSignals() { return {SIGINT, SIGTERM, SIGHUP}; }






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
