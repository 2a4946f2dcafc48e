#include "WriteChecks.h"

#include "AddressRules.h"
#include "IntConversion.h"
#include "OctetText.h"
#include "jIPByteEdit.h"
#include "jIPEdit.h"

#include <array>

namespace pnv {
namespace {

constexpr std::array<const char *, 4> kOrdinals{"first", "second", "third", "fourth"};

std::uint32_t addressAt(const ConfigRequestBytes &request, std::size_t offset)
{
    return std::uint32_t{request[offset]} << 24 | std::uint32_t{request[offset + 1]} << 16
           | std::uint32_t{request[offset + 2]} << 8 | std::uint32_t{request[offset + 3]};
}

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
    net::PlannedConfig config;
    config.ip = addressAt(request, 0);
    config.port = static_cast<std::uint16_t>(request[4] << 8 | request[5]);
    config.gateway = addressAt(request, 12);
    config.mask = addressAt(request, 16);
    QStringList refusals;
    for (const QString &violation : net::ruleViolations(config))
        refusals << violation + QLatin1Char('.');
    return refusals;
}

QString refusalMessage(const QStringList &refusals)
{
    return QStringLiteral("Nothing was written:\n") + refusals.join(QLatin1Char('\n'));
}

} // namespace pnv
