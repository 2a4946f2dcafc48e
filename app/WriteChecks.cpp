#include "WriteChecks.h"

#include "AddressRules.h"
#include "AddressProbe.h"
#include "EncoderConfig.h"
#include "PendingLedger.h"

#include <QDateTime>
#include "IntConversion.h"
#include "OctetText.h"
#include "jIPByteEdit.h"
#include "jIPEdit.h"

#include <array>

namespace pnv {
namespace {

constexpr std::array<const char *, 4> kOrdinals{"first", "second", "third", "fourth"};

} // namespace

QStringList octetRangeRefusals(std::initializer_list<CaptionedAddress> addresses)
{
    QStringList refusals;
    for (const auto &[caption, address] : addresses) {
        for (int i = 0; i < 4; ++i) {
            QString number = address->wrappedAsTyped(i);
            if (number.isEmpty() && !ipedit::isOctetInRange(address->field(i)->text()))
                number = address->field(i)->text();
            if (!number.isEmpty())
                refusals << QStringLiteral("%1, %2 octet: %3 is not a number from 0 to 255.")
                                .arg(caption, QLatin1String(kOrdinals[static_cast<std::size_t>(i)]), number);
        }
    }
    return refusals;
}

QStringList portRangeRefusals(const QString &caption, std::int32_t port)
{
    if (port >= 0 && port <= 65535)
        return {};
    return {QStringLiteral("%1: %2 is not a number from 0 to 65535.").arg(caption).arg(port)};
}

QStringList ruleRefusals(const ConfigRequestBytes &request)
{
    QStringList refusals;
    for (const QString &violation : net::ruleViolations(road::plannedOf(request)))
        refusals << violation + QLatin1Char('.');
    return refusals;
}

namespace {

// The MAC field as the ledger names it; nothing for one never read.
std::optional<QString> macOfField(const QString &macText)
{
    QString colons = macText;
    colons.replace(QStringLiteral(" - "), QStringLiteral(":"));
    const auto mac = road::parseMacText(colons);
    if (!mac || *mac == std::array<std::uint8_t, 6>{})
        return std::nullopt;
    return road::macText(*mac);
}

} // namespace

AddressInUse probeAddressInUse()
{
    return [](std::uint32_t address, std::uint16_t port) -> std::optional<QString> {
        const net::AddressProbe probe = net::probeAddress(address, port);
        return probe.answered ? std::optional<QString>(probe.reason) : std::nullopt;
    };
}

QStringList takenAddressRefusals(const QString &caption, const ConfigRequestBytes &request, const EncoderPlace &place,
                                 const QString &macText, const AddressInUse &inUse)
{
    const net::PlannedConfig wanted = road::plannedOf(request);
    if (*wanted.ip == place.reachedIp || (place.held && place.held->first == *wanted.ip))
        return {};   // the encoder itself answers there, or keeps what it holds
    const QString ip = net::formatDotted(*wanted.ip);
    QStringList refusals;
    if (inUse)
        if (const auto reason = inUse(*wanted.ip, *wanted.port))
            refusals << QStringLiteral("%1 %2 is in use: %3.").arg(caption, ip, *reason);
    const std::optional<QString> mac = macOfField(macText);
    if (const auto promised = road::PendingLedger().promisedToAnother(*wanted.ip, mac.value_or(QString())))
        refusals << QStringLiteral("%1 %2 is promised to the encoder %3 (written %4 UTC while it answered at %5); it "
                                   "takes that address when it restarts.")
                        .arg(caption, ip, promised->mac,
                             promised->written.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), promised->answeredAt);
    return refusals;
}

QString rememberMove(const ConfigRequestBytes &request, const EncoderPlace &place, const QString &macText)
{
    const net::PlannedConfig wanted = road::plannedOf(request);
    const std::pair<std::uint32_t, std::uint16_t> given{*wanted.ip, *wanted.port};
    if (given == std::pair(place.reachedIp, place.reachedPort) || place.held == given)
        return {};
    const QString there = QStringLiteral("%1:%2").arg(net::formatDotted(*wanted.ip)).arg(*wanted.port);
    if (const std::optional<QString> mac = macOfField(macText))
        road::PendingLedger().promise({*mac, QStringLiteral("%1:%2").arg(net::formatDotted(place.reachedIp)).arg(place.reachedPort),
                                       *wanted.ip, *wanted.port, QDateTime::currentDateTimeUtc()});
    return QStringLiteral("Restart the encoder, then connect to %1.").arg(there);
}

QString refusalMessage(const QStringList &refusals)
{
    return QStringLiteral("Nothing was written:\n") + refusals.join(QLatin1Char('\n'));
}

} // namespace pnv
