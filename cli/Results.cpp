#include "Results.h"
#include "StandardStreams.h"

#include <QJsonDocument>

#include <csignal>
#include <cstdio>

namespace pnv::ctl {
namespace {

void printLine(FILE *stream, const QString &text)
{
    writeStream(stream, (text + u'\n').toLocal8Bit().constData());
}

void complain(const QString &text) { printLine(stderr, QStringLiteral("pnv3400ctl: ") + text); }

} // namespace

const QList<ExitCodeRow> &exitCodeTable()
{
    static const QList<ExitCodeRow> table{
        {ExitCode::Success, "success"},
        {ExitCode::Encoder, "an encoder failed or refused, or a file could not be written"},
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

Result Result::failure(ExitCode exit, const QStringList &notes)
{
    Result result;
    result.exit = exit;
    result.notes = notes;
    return result;
}

void Output::print(const Result &result) const
{
    if (m_json) {
        for (const QJsonObject &object : result.objects)
            printLine(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
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
