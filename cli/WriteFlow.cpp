#include "WriteFlow.h"

#include <QJsonValue>

namespace pnv::ctl {
namespace {

const char *const kOutcomeNames[] = {"applied", "unchanged", "dry-run", "rejected", "not-applied", "failed", "invalid"};

QJsonObject report(const QString &encoder, Outcome outcome, const QJsonValue &before, const QJsonValue &after,
                   const QJsonValue &code, const QString &message)
{
    return {{QStringLiteral("encoder"), encoder},
            {QStringLiteral("outcome"), outcomeName(outcome)},
            {QStringLiteral("changed"), outcome == Outcome::Applied || outcome == Outcome::DryRun},
            {QStringLiteral("before"), before},
            {QStringLiteral("after"), after},
            {QStringLiteral("code"), code},
            {QStringLiteral("message"), message}};
}

QString configText(const QJsonValue &config)
{
    const QJsonObject o = config.toObject();
    return QStringLiteral("ip %1 port %2 gateway %3 mask %4")
        .arg(o.value(QStringLiteral("ip")).toString())
        .arg(o.value(QStringLiteral("port")).toInt())
        .arg(o.value(QStringLiteral("gateway")).toString(), o.value(QStringLiteral("mask")).toString());
}

QJsonObject plannedJson(const PlannedConfig &config, const EncoderConfig &holder)
{
    QJsonObject o = holder.toJson();
    o[QStringLiteral("ip")] = formatDotted(*config.ip);
    o[QStringLiteral("port")] = *config.port;
    o[QStringLiteral("gateway")] = formatDotted(*config.gateway);
    o[QStringLiteral("mask")] = formatDotted(*config.mask);
    return o;
}

} // namespace

QString outcomeName(Outcome outcome) { return QLatin1String(kOutcomeNames[static_cast<int>(outcome)]); }

std::optional<Outcome> outcomeFromName(const QString &name)
{
    for (int i = 0; i < int(std::size(kOutcomeNames)); ++i)
        if (name == QLatin1String(kOutcomeNames[i]))
            return static_cast<Outcome>(i);
    return std::nullopt;
}

int exitCodeFor(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Applied:
    case Outcome::Unchanged:
    case Outcome::DryRun:
        return 0;
    case Outcome::Invalid:
        return 2;
    default:
        return 1;
    }
}

QJsonObject invalidReport(const QString &encoder, const QStringList &refusals)
{
    return report(encoder, Outcome::Invalid, QJsonValue::Null, QJsonValue::Null, QJsonValue::Null,
                  refusals.join(QStringLiteral("; ")));
}

QJsonObject writeEncoder(const pnv::TessalinApi &api, const EncoderAddress &encoder, const PlannedConfig &change,
                         const WriteOptions &options)
{
    const QString name = encoder.text();
    EncoderSession session(api, encoder, options.verbose);
    if (const int code = session.connect(); code != TESSALIN_SUCCESS)
        return report(name, Outcome::Failed, QJsonValue::Null, QJsonValue::Null, code,
                      QStringLiteral("connect: %1").arg(describeCode(code)));
    const auto current = session.read();
    if (!current.config)
        return report(name, Outcome::Failed, QJsonValue::Null, QJsonValue::Null, current.code,
                      QStringLiteral("read: %1").arg(describeCode(current.code)));
    const EncoderConfig &before = *current.config;
    const PlannedConfig wanted = merged(before.planned(), change);
    if (!options.force) {
        if (const QStringList refusals = ruleViolations(wanted); !refusals.isEmpty()) {
            QJsonObject refused = invalidReport(name, refusals);
            refused[QStringLiteral("before")] = before.toJson();
            return refused;
        }
    }
    const pnv::ConfigRequestBytes request = requestFor(wanted);
    if (request == before.record)
        return report(name, Outcome::Unchanged, before.toJson(), before.toJson(), 0,
                      QStringLiteral("the encoder already holds this configuration; nothing written"));
    if (options.dryRun)
        return report(name, Outcome::DryRun, before.toJson(), plannedJson(wanted, before), QJsonValue::Null,
                      QStringLiteral("would write; nothing written (dry run)"));

    const std::optional<int> status = session.write(request);
    if (!status)
        return report(name, Outcome::Failed, before.toJson(), QJsonValue::Null, 3,
                      QStringLiteral("write: the library reported no outcome"));
    // 1 to 3 are the library's own link codes: nothing is known of the encoder.
    if (*status >= 1 && *status <= 3)
        return report(name, Outcome::Failed, before.toJson(), QJsonValue::Null, *status,
                      QStringLiteral("write: %1").arg(describeCode(*status)));

    const auto readBack = session.read();
    const QJsonValue after = readBack.config ? QJsonValue(readBack.config->toJson()) : QJsonValue(QJsonValue::Null);
    if (*status != TESSALIN_SUCCESS)
        // The library answers 4 both when the encoder refuses the record and
        // when its echo differs from what was sent; the read-back says which
        // configuration the encoder holds now.
        return report(name, Outcome::Rejected, before.toJson(), after, *status,
                      QStringLiteral("the encoder refused the write%1: %2")
                          .arg(*status == 4 ? QStringLiteral(", or its echo differed from what was sent") : QString(),
                               describeCode(*status)));
    if (!readBack.config)
        return report(name, Outcome::Failed, before.toJson(), QJsonValue::Null, readBack.code,
                      QStringLiteral("written, but the read-back failed: %1").arg(describeCode(readBack.code)));
    if (readBack.config->record != request)
        return report(name, Outcome::NotApplied, before.toJson(), after, 0,
                      QStringLiteral("the encoder acknowledged the write but holds something else"));
    return report(name, Outcome::Applied, before.toJson(), after, 0,
                  QStringLiteral("written and read back; a new address or port takes effect when the encoder "
                                 "restarts"));
}

QString describeReport(const QJsonObject &report)
{
    const QString outcome = report.value(QStringLiteral("outcome")).toString();
    QString line = QStringLiteral("%1: %2: %3")
                       .arg(report.value(QStringLiteral("encoder")).toString(), outcome,
                            report.value(QStringLiteral("message")).toString());
    const QJsonValue after = report.value(QStringLiteral("after"));
    if (after.isObject())
        line += QStringLiteral(" [%1%2]")
                    .arg(outcome == QLatin1String("dry-run") ? QStringLiteral("would hold ") : QStringLiteral("holds "),
                         configText(after));
    return line;
}

} // namespace pnv::ctl
