#include "WriteFlow.h"

#include <QJsonArray>

namespace pnv::ctl {
namespace {

WriteReport report(const QString &encoder, WriteOutcome outcome, const QJsonValue &before, const QJsonValue &after,
                   const QJsonValue &code, const QString &message)
{
    return {encoder, outcome, before, after, code, {message}, {}, {}};
}

QString configText(const QJsonValue &config)
{
    const QJsonObject o = config.toObject();
    return QStringLiteral("ip %1 port %2 gateway %3 mask %4")
        .arg(o.value(QStringLiteral("ip")).toString())
        .arg(o.value(QStringLiteral("port")).toInt())
        .arg(o.value(QStringLiteral("gateway")).toString(), o.value(QStringLiteral("mask")).toString());
}

QJsonObject plannedJson(const net::PlannedConfig &config, const EncoderConfig &holder)
{
    QJsonObject o = holder.toJson();
    o[QStringLiteral("ip")] = net::formatDotted(*config.ip);
    o[QStringLiteral("port")] = *config.port;
    o[QStringLiteral("gateway")] = net::formatDotted(*config.gateway);
    o[QStringLiteral("mask")] = net::formatDotted(*config.mask);
    return o;
}

WriteReport writeChecked(EncoderSession &session, const QString &name, const EncoderConfig &before,
                         const net::PlannedConfig &wanted, const WriteOptions &options);

} // namespace

const QList<OutcomeRow> &outcomeTable()
{
    static const QList<OutcomeRow> table{
        {WriteOutcome::Applied, "applied", ExitCode::Success, true, false, "written, and the read-back equals what was sent"},
        {WriteOutcome::Unchanged, "unchanged", ExitCode::Success, false, false,
         "the encoder already held it; nothing was written"},
        {WriteOutcome::DryRun, "dry-run", ExitCode::Success, true, false, "with --dry-run: this would be written; nothing was"},
        {WriteOutcome::Rejected, "rejected", ExitCode::Encoder, false, true,
         "the encoder answered a non-zero status, held in code"},
        {WriteOutcome::NotApplied, "not-applied", ExitCode::Encoder, false, true,
         "the write was acknowledged, but the read-back differs"},
        {WriteOutcome::Failed, "failed", ExitCode::Encoder, false, true, "link down, time-out or receive error"},
        {WriteOutcome::Invalid, "invalid", ExitCode::Usage, false, true, "refused by the syntax or the rules; nothing was written"},
        {WriteOutcome::Unknown, "unknown", ExitCode::Encoder, false, true,
         "apply's worker ended without a report, and the encoder read afterwards does not hold what was asked"},
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

QJsonObject WriteReport::toJson() const
{
    return {{QStringLiteral("encoder"), encoder},
            {QStringLiteral("outcome"), outcomeName(outcome)},
            {QStringLiteral("changed"), outcomeRow(outcome).changed},
            {QStringLiteral("before"), before},
            {QStringLiteral("after"), after},
            {QStringLiteral("code"), code},
            {QStringLiteral("message"), messages.join(QStringLiteral("; "))},
            {QStringLiteral("messages"), QJsonArray::fromStringList(messages)},
            {QStringLiteral("warnings"), QJsonArray::fromStringList(warnings)},
            {QStringLiteral("errors"), jsonOf(refusals)}};
}

QString WriteReport::describe() const
{
    QString line = QStringLiteral("%1: %2: %3").arg(encoder, outcomeName(outcome), messages.join(QStringLiteral("; ")));
    if (after.isObject())
        line += QStringLiteral(" [%1%2]")
                    .arg(outcome == WriteOutcome::DryRun ? QStringLiteral("would hold ") : QStringLiteral("holds "),
                         configText(after));
    return line;
}

std::optional<WriteReport> WriteReport::fromJson(const QJsonObject &object)
{
    const auto outcome = outcomeFromName(object.value(QStringLiteral("outcome")).toString());
    if (!outcome)
        return std::nullopt;
    WriteReport read = report(object.value(QStringLiteral("encoder")).toString(), *outcome,
                              object.value(QStringLiteral("before")), object.value(QStringLiteral("after")),
                              object.value(QStringLiteral("code")), object.value(QStringLiteral("message")).toString());
    for (const QJsonValue &warning : object.value(QStringLiteral("warnings")).toArray())
        read.warnings << warning.toString();
    for (const QJsonValue &error : object.value(QStringLiteral("errors")).toArray())
        read.refusals << Refusal::fromJson(error.toObject());
    if (!read.refusals.isEmpty())
        read.messages = textsOf(read.refusals);
    return read;
}

WriteReport invalidReport(const QString &encoder, const QList<Refusal> &refusals)
{
    return {encoder, WriteOutcome::Invalid, QJsonValue::Null, QJsonValue::Null, QJsonValue::Null, textsOf(refusals), {},
            refusals};
}

WriteReport invalidReport(const QString &encoder, const QList<net::Violation> &violations)
{
    QList<Refusal> refusals;
    for (const net::Violation &violation : violations)
        refusals << Refusal(violation.message, 0, encoder, violation.field);
    return invalidReport(encoder, refusals);
}

WriteReport writeEncoder(const pnv::TessalinApi &api, const EncoderAddress &encoder, const net::PlannedConfig &change,
                         const WriteOptions &options)
{
    const QString name = encoder.text();
    EncoderSession session(api, encoder, options.verbose);
    if (const int code = session.connect(); code != TESSALIN_SUCCESS)
        return report(name, WriteOutcome::Failed, QJsonValue::Null, QJsonValue::Null, code,
                      QStringLiteral("connect: %1").arg(describeCode(code)));
    const auto current = session.read();
    if (!current.config)
        return report(name, WriteOutcome::Failed, QJsonValue::Null, QJsonValue::Null, current.code,
                      QStringLiteral("read: %1").arg(describeCode(current.code)));
    const EncoderConfig &before = *current.config;
    const net::PlannedConfig wanted = net::merged(before.planned(), change);
    if (!options.force) {
        if (const QList<net::Violation> refusals = net::fieldViolations(wanted); !refusals.isEmpty()) {
            WriteReport refused = invalidReport(name, refusals);
            refused.before = before.toJson();
            return refused;
        }
    }
    // Two devices on one address is the fault hardest to find afterwards:
    // a new ip where something answers already is refused, dry run or not.
    QStringList warnings;
    // The encoder itself answers at the address it was reached at, whatever
    // move it has pending: that address is never "in use" for it.
    const bool itself = net::parseDotted(encoder.host) == wanted.ip;
    if (!options.force && !options.allowInUse && options.probe && *wanted.ip != before.ip && !itself) {
        const net::AddressProbe probe = options.probe(*wanted.ip, *wanted.port);
        if (probe.answered) {
            WriteReport refused = invalidReport(
                name, QList<net::Violation>{{QStringLiteral("ip"), QStringLiteral("ip %1 is in use: %2; --allow-in-use writes it anyway")
                                                                       .arg(net::formatDotted(*wanted.ip), probe.reason)}});
            refused.before = before.toJson();
            return refused;
        }
        // A half of the check that could not run is said, so that "nothing
        // answered" is never read as more than was asked.
        for (const QString &skipped : probe.skipped)
            warnings << QStringLiteral("the in-use check of ip %1 could not run %2")
                            .arg(net::formatDotted(*wanted.ip), skipped);
    }
    WriteReport written = writeChecked(session, name, before, wanted, options);
    written.warnings = warnings;
    return written;
}

namespace {

// After the checks: writes `wanted` unless the encoder holds it already, and reads it back.
WriteReport writeChecked(EncoderSession &session, const QString &name, const EncoderConfig &before,
                         const net::PlannedConfig &wanted, const WriteOptions &options)
{
    const pnv::ConfigRequestBytes request = requestFor(wanted);
    if (request == before.record)
        return report(name, WriteOutcome::Unchanged, before.toJson(), before.toJson(), 0,
                      QStringLiteral("the encoder already holds this configuration; nothing written"));
    if (options.dryRun)
        return report(name, WriteOutcome::DryRun, before.toJson(), plannedJson(wanted, before), QJsonValue::Null,
                      QStringLiteral("would write; nothing written (dry run)"));

    if (options.interrupted && options.interrupted())
        return report(name, WriteOutcome::Failed, before.toJson(), QJsonValue::Null, QJsonValue::Null,
                      QStringLiteral("interrupted before writing; nothing written"));
    const std::optional<int> status = session.write(request);
    if (!status)
        return report(name, WriteOutcome::Failed, before.toJson(), QJsonValue::Null, TESSALIN_RECEIVE_ERROR,
                      QStringLiteral("write: the library reported no outcome"));
    // 1 to 3 are the library's own link codes: nothing is known of the encoder.
    if (*status >= TESSALIN_LINK_DOWN && *status <= TESSALIN_RECEIVE_ERROR)
        return report(name, WriteOutcome::Failed, before.toJson(), QJsonValue::Null, *status,
                      QStringLiteral("write: %1").arg(describeCode(*status)));

    const auto readBack = session.read();
    const QJsonValue after = readBack.config ? QJsonValue(readBack.config->toJson()) : QJsonValue(QJsonValue::Null);
    if (*status != TESSALIN_SUCCESS)
        // The library answers 4 both when the encoder refuses the record and
        // when its echo differs from what was sent; the read-back says which
        // configuration the encoder holds now.
        return report(name, WriteOutcome::Rejected, before.toJson(), after, *status,
                      QStringLiteral("the encoder refused the write%1: %2")
                          .arg(*status == TESSALIN_VERIFY_ERROR
                                   ? QStringLiteral(", or its echo differed from what was sent")
                                   : QString(),
                               describeCode(*status)));
    if (!readBack.config)
        return report(name, WriteOutcome::Failed, before.toJson(), QJsonValue::Null, readBack.code,
                      QStringLiteral("written, but the read-back failed: %1").arg(describeCode(readBack.code)));
    if (readBack.config->record != request)
        return report(name, WriteOutcome::NotApplied, before.toJson(), after, 0,
                      QStringLiteral("the encoder acknowledged the write but holds something else"));
    return report(name, WriteOutcome::Applied, before.toJson(), after, 0,
                  QStringLiteral("written and read back; a new address or port takes effect when the encoder "
                                 "restarts"));
}

} // namespace

} // namespace pnv::ctl
