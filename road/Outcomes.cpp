#include "Outcomes.h"

#include "Messages.h"

namespace pnv::road {

const QList<ExitCodeRow> &exitCodeTable()
{
    static const QList<ExitCodeRow> table{
        {ExitCode::Success, "success"},
        {ExitCode::Encoder, "an encoder failed or refused, or a file or the output could not be written"},
        {ExitCode::Usage, "usage, syntax or rule error, a new ip in use, or a file not read or not regular; nothing was written"},
        {ExitCode::Library, "the device library could not be bound"},
        {ExitCode::Unknown, "a write's answer was lost and the encoder could not be read again: it may hold the new "
                            "configuration"},
        {ExitCode::TimeLimit, "apply's --time-limit passed: rows under way finished and are reported; no new one started"},
        {ExitCode::HungUp, "ended by SIGHUP (a terminal or ssh session closed), as by SIGINT"},
        {ExitCode::Interrupted, "interrupted (SIGINT): rows under way finish and are reported; no new one starts"},
        {ExitCode::Terminated, "ended by SIGTERM, as by SIGINT"},
    };
    return table;
}

const QList<OutcomeRow> &outcomeTable()
{
    static const QList<OutcomeRow> table{
        {WriteOutcome::Applied, "applied", ExitCode::Success, Changed::Yes, false, "written, and the read-back equals what was sent"},
        {WriteOutcome::Unchanged, "unchanged", ExitCode::Success, Changed::No, false,
         "the encoder already held it; nothing was written"},
        {WriteOutcome::DryRun, "dry-run", ExitCode::Success, Changed::Yes, false, "with --dry-run: this would be written; nothing was"},
        {WriteOutcome::Rejected, "rejected", ExitCode::Encoder, Changed::No, true,
         "the encoder answered a non-zero status, held in code"},
        {WriteOutcome::NotApplied, "not-applied", ExitCode::Encoder, Changed::No, true,
         "written, but the read-back differs from what was sent"},
        {WriteOutcome::Failed, "failed", ExitCode::Encoder, Changed::No, true,
         "nothing was written: connect or the first read failed (link down, time-out or receive error), another encoder "
         "than --expect-mac's answered, or Ctrl+C stopped the write before it began"},
        {WriteOutcome::Invalid, "invalid", ExitCode::Usage, Changed::No, true, "refused by the syntax or the rules; nothing was written"},
        {WriteOutcome::Unknown, "unknown", ExitCode::Unknown, Changed::Unknown, true,
         "the write's answer was lost and the encoder could not be read again: it may hold the new configuration"},
    };
    return table;
}

const OutcomeRow &outcomeRow(WriteOutcome outcome) { return outcomeTable()[static_cast<qsizetype>(outcome)]; }

QString outcomeName(WriteOutcome outcome) { return QLatin1String(outcomeRow(outcome).name); }

std::optional<WriteOutcome> outcomeFromName(const QString &name)
{
    for (const OutcomeRow &row : outcomeTable())
        if (name == QLatin1String(row.name))
            return row.outcome;
    return std::nullopt;
}

QString changedText(Changed changed)
{
    switch (changed) {
    case Changed::Yes: return QStringLiteral("yes");
    case Changed::No: return QStringLiteral("no");
    case Changed::Unknown: break;
    }
    return QStringLiteral("unknown");
}

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

} // namespace pnv::road
