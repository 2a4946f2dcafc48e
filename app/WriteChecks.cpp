#include "WriteChecks.h"

#include "AddressRules.h"
#include "EncoderConfig.h"
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

QString refusalMessage(const QStringList &refusals)
{
    return QStringLiteral("Nothing was written:\n") + refusals.join(QLatin1Char('\n'));
}

} // namespace pnv
