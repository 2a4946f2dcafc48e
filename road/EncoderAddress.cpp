#include "EncoderAddress.h"

#include "AddressRules.h"

namespace pnv::road {

std::optional<EncoderAddress> parseEncoderAddress(const QString &text)
{
    const qsizetype colon = text.indexOf(u':');
    EncoderAddress address;
    address.host = colon < 0 ? text : text.left(colon);
    if (!net::parseDotted(address.host))
        return std::nullopt;
    if (colon >= 0) {
        const auto port = net::parsePort(QStringView(text).mid(colon + 1));
        if (!port || *port == 0)
            return std::nullopt;
        address.port = *port;
    }
    return address;
}

} // namespace pnv::road
