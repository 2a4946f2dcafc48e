#include "WriteFlow.h"

#include <QDateTime>
#include <QJsonArray>

namespace pnv::road {
namespace {

WriteReport report(const QString &encoder, WriteOutcome outcome, const QJsonValue &before, const QJsonValue &after,
                   const QJsonValue &code, const QString &message)
{
    return {encoder, outcome, before, after, code, {message}, {}, {}, {}};
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

QJsonValue changedJson(Changed changed)
{
    return changed == Changed::Unknown ? QJsonValue(QJsonValue::Null) : QJsonValue(changed == Changed::Yes);
}

WriteReport writeChecked(const pnv::TessalinApi &api, EncoderSession &session, const QString &name, const EncoderConfig &before,
                         const net::PlannedConfig &wanted, const WriteOptions &options);
WriteReport settledByReading(const pnv::TessalinApi &api, const EncoderAddress &reached, const QString &name, const EncoderConfig &before,
                             const pnv::ConfigRequestBytes &request, const QJsonValue &code, const QString &why,
                             const WriteOptions &options);

// A reconnect right after a link broke may meet the library or the encoder
// still tearing the old one down; a few tries, each bounded by the library's
// own time-out, tell that from an encoder that is gone.
constexpr int kReadAgainAttempts = 3;

const QString kAppliedMessage = QStringLiteral(
    "written and read back; a new address or port takes effect when the encoder restarts");

} // namespace





QJsonObject WriteReport::toJson() const
{
    return {{QStringLiteral("encoder"), encoder},
            {QStringLiteral("outcome"), outcomeName(outcome)},
            {QStringLiteral("changed"), changedJson(outcomeRow(outcome).changed)},
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
            refusals, {}};
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
    // The MAC is read on the link that would carry the write: a swap or a
    // second encoder at the address since it was last looked at is caught here.
    if (options.expectMac && before.mac != *options.expectMac) {
        WriteReport other = report(name, WriteOutcome::Failed, before.toJson(), QJsonValue::Null, QJsonValue::Null,
                                   QStringLiteral("another encoder answers: %1, not %2; nothing written")
                                       .arg(before.macText(), macText(*options.expectMac)));
        other.mac = before.macText();
        return other;
    }
    QStringList warnings;
    const std::uint32_t reachedIp = net::parseDotted(encoder.host).value_or(0);
    // What this read shows settles the encoder's own promise, if it had one.
    if (options.ledger)
        if (const QString error = options.ledger->seen(before.macText(), reachedIp, encoder.port, before.ip, before.port);
            !error.isEmpty())
            warnings << error;
    const net::PlannedConfig wanted = net::merged(before.planned(), change);
    if (!options.force) {
        if (const QList<net::Violation> refusals = net::fieldViolations(wanted); !refusals.isEmpty()) {
            WriteReport refused = invalidReport(name, refusals);
            refused.before = before.toJson();
            refused.mac = before.macText();
            return refused;
        }
    }
    // Two devices on one address is the fault hardest to find afterwards:
    // a new ip where something answers already is refused, dry run or not.
    // The encoder itself answers at the address it was reached at, whatever
    // move it has pending: that address is never "in use" for it.
    const bool itself = reachedIp == *wanted.ip;
    // An address given to another encoder that has not restarted into it
    // answers nothing yet: only the ledger knows it is taken.
    if (!options.force && options.ledger && *wanted.ip != before.ip && !itself) {
        QString error;
        if (const auto promised = options.ledger->promisedToAnother(*wanted.ip, before.macText(), &error)) {
            WriteReport refused = invalidReport(
                name, QList<net::Violation>{
                          {QStringLiteral("ip"),
                           QStringLiteral("ip %1 is promised to %2 (written %3 UTC while it answered at %4, to take effect "
                                          "when it restarts); 'pnv3400ctl pending forget %2' once it no longer holds it")
                               .arg(net::formatDotted(*wanted.ip), promised->mac,
                                    promised->written.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                    promised->answeredAt)}});
            refused.before = before.toJson();
            refused.mac = before.macText();
            return refused;
        }
        if (!error.isEmpty())
            warnings << error;
    }
    if (!options.force && !options.allowInUse && options.probe && *wanted.ip != before.ip && !itself) {
        const net::AddressProbe probe = options.probe(*wanted.ip, *wanted.port);
        if (probe.answered) {
            WriteReport refused = invalidReport(
                name, QList<net::Violation>{{QStringLiteral("ip"), QStringLiteral("ip %1 is in use: %2; --allow-in-use writes it anyway")
                                                                       .arg(net::formatDotted(*wanted.ip), probe.reason)}});
            refused.before = before.toJson();
            refused.mac = before.macText();
            return refused;
        }
        // A half of the check that could not run is said, so that "nothing
        // answered" is never read as more than was asked.
        for (const QString &skipped : probe.skipped)
            warnings << QStringLiteral("the in-use check of ip %1 could not run %2")
                            .arg(net::formatDotted(*wanted.ip), skipped);
    }
    WriteReport written = writeChecked(api, session, name, before, wanted, options);
    written.warnings = warnings;
    written.mac = before.macText();
    // A new address or port that the encoder holds, or may hold, is promised
    // until a read shows it there or without it.
    const bool moves = (*wanted.ip != before.ip || *wanted.port != before.port)
                       && !(itself && *wanted.port == encoder.port);
    const bool mayHold = written.outcome == WriteOutcome::Applied || written.outcome == WriteOutcome::Unknown;
    // What it holds now settles an earlier promise (moved back, or elsewhere).
    if (options.ledger && written.outcome == WriteOutcome::Applied)
        if (const QString error = options.ledger->seen(before.macText(), reachedIp, encoder.port, *wanted.ip, *wanted.port);
            !error.isEmpty())
            written.warnings << error;
    if (options.ledger && moves && mayHold)
        if (const QString error = options.ledger->promise({before.macText(), encoder.text(), *wanted.ip, *wanted.port,
                                                           QDateTime::currentDateTimeUtc()});
            !error.isEmpty())
            written.warnings << error + QStringLiteral("; this write is not remembered as pending");
    return written;
}

namespace {

// After the checks: writes `wanted` unless the encoder holds it already, and reads it back.
WriteReport writeChecked(const pnv::TessalinApi &api, EncoderSession &session, const QString &name, const EncoderConfig &before,
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
    const pnv::WriteResult written = session.write(request);
    const QJsonValue code = written.hasStatus() ? QJsonValue(written.status) : QJsonValue(QJsonValue::Null);
    const QString lost = written.hasStatus() ? describeCode(written.status)
                                             : QStringLiteral("the library reported no outcome (count %1)").arg(written.count);
    if (written.answer() == pnv::WriteAnswer::NotSent)
        return report(name, WriteOutcome::Failed, before.toJson(), QJsonValue::Null, code,
                      QStringLiteral("write: the device library was never reached (%1); nothing written")
                          .arg(QString::fromStdString(written.bridgeText)));
    if (written.answer() == pnv::WriteAnswer::Hung)
        // The DLL's call was ended from outside: whatever it did, or still
        // does, to the encoder, no read can be trusted to have come after it.
        return report(name, WriteOutcome::Unknown, before.toJson(), QJsonValue::Null, code,
                      QStringLiteral("write: %1: the encoder may hold the new configuration; read it once it answers")
                          .arg(QString::fromStdString(written.bridgeText)));
    if (written.answer() == pnv::WriteAnswer::Lost) {
        // The request may have been stored before its answer went missing:
        // only what the encoder holds now can say which.
        session.disconnect();
        return settledByReading(api, session.encoder(), name, before, request, code,
                                QStringLiteral("the write's answer was lost (%1)").arg(lost), options);
    }

    const auto readBack = session.read();
    const QJsonValue after = readBack.config ? QJsonValue(readBack.config->toJson()) : QJsonValue(QJsonValue::Null);
    if (written.answer() == pnv::WriteAnswer::Refused)
        // The library answers 4 both when the encoder refuses the record and
        // when its echo differs from what was sent; the read-back says which
        // configuration the encoder holds now.
        return report(name, WriteOutcome::Rejected, before.toJson(), after, code,
                      QStringLiteral("the encoder refused the write%1: %2")
                          .arg(written.status == TESSALIN_VERIFY_ERROR
                                   ? QStringLiteral(", or its echo differed from what was sent")
                                   : QString(),
                               describeCode(written.status)));
    if (!readBack.config) {
        session.disconnect();
        return settledByReading(api, session.encoder(), name, before, request, code,
                                QStringLiteral("written, but the read-back failed (%1)").arg(describeCode(readBack.code)),
                                options);
    }
    if (readBack.config->record != request)
        return report(name, WriteOutcome::NotApplied, before.toJson(), after, 0,
                      QStringLiteral("the encoder acknowledged the write but holds something else"));
    return report(name, WriteOutcome::Applied, before.toJson(), after, 0, kAppliedMessage);
}

// Where the encoder may answer after a write whose answer was lost: where it
// was reached, and, when the write gave it another address or port and it
// restarted into them meanwhile, there.
QList<EncoderAddress> placesToLookAgain(const EncoderAddress &reached, const pnv::ConfigRequestBytes &request)
{
    const net::PlannedConfig sent = plannedOf(request);
    QList<EncoderAddress> places{reached};
    const EncoderAddress moved{net::formatDotted(*sent.ip), *sent.port};
    if (moved.text() != reached.text())
        places << moved;
    return places;
}

WriteReport settledByReading(const pnv::TessalinApi &api, const EncoderAddress &reached, const QString &name, const EncoderConfig &before,
                             const pnv::ConfigRequestBytes &request, const QJsonValue &code, const QString &why,
                             const WriteOptions &options)
{
    QStringList tries;
    for (const EncoderAddress &place : placesToLookAgain(reached, request)) {
        for (int attempt = 0; attempt < kReadAgainAttempts; ++attempt) {
            EncoderSession again(api, place, options.verbose);
            const int connected = again.connect();
            if (connected != TESSALIN_SUCCESS) {
                tries << QStringLiteral("%1: connect: %2").arg(place.text(), describeCode(connected));
                continue;
            }
            const auto held = again.read();
            if (!held.config) {
                tries << QStringLiteral("%1: read: %2").arg(place.text(), describeCode(held.code));
                continue;
            }
            const QJsonValue after = held.config->toJson();
            if (held.config->mac != before.mac)
                // Another encoder answers there now: it proves nothing of this one.
                return report(name, WriteOutcome::Unknown, before.toJson(), QJsonValue::Null, code,
                              QStringLiteral("%1; read again at %2, another encoder (%3) answers: %4 may hold the new "
                                             "configuration")
                                  .arg(why, place.text(), held.config->macText(), before.macText()));
            if (held.config->record == request)
                return report(name, WriteOutcome::Applied, before.toJson(), after, code,
                              QStringLiteral("%1; read again at %2, the encoder holds what was sent; %3")
                                  .arg(why, place.text(), kAppliedMessage));
            return report(name, WriteOutcome::NotApplied, before.toJson(), after, code,
                          QStringLiteral("%1; read again at %2, the encoder holds %3")
                              .arg(why, place.text(), held.config->record == before.record
                                                          ? QStringLiteral("its old configuration")
                                                          : QStringLiteral("something else")));
        }
    }
    return report(name, WriteOutcome::Unknown, before.toJson(), QJsonValue::Null, code,
                  QStringLiteral("%1, and the encoder could not be read again (%2): it may hold the new configuration; "
                                 "read it once it answers")
                      .arg(why, tries.join(QStringLiteral("; "))));
}

} // namespace

} // namespace pnv::road
