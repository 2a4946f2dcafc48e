#include "AddressRules.h"

#include "Messages.h"

namespace pnv::net {
namespace {

std::optional<unsigned> parseDecimal(QStringView text, int maxDigits, unsigned maxValue)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return std::nullopt;
    if (text.size() > 1 && text.front() == u'0')
        return std::nullopt;
    unsigned value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c.unicode() - u'0');
    }
    if (value > maxValue)
        return std::nullopt;
    return value;
}

QString subnetText(std::uint32_t ip, int prefix)
{
    return QStringLiteral("%1/%2").arg(formatDotted(ip & maskOfPrefix(prefix))).arg(prefix);
}

// The ranges no host may use, whatever its subnet.
QString excludedRange(std::uint32_t address)
{
    const std::uint32_t first = address >> 24;
    if (first == 0)
        return QStringLiteral("is in 0.0.0.0/8 (this network)");
    if (first == 127)
        return QStringLiteral("is in 127.0.0.0/8 (loopback)");
    if (first >= 224 && first <= 239)
        return QStringLiteral("is in 224.0.0.0/4 (multicast)");
    if (first >= 240)
        return QStringLiteral("is in 240.0.0.0/4 (reserved)");
    return {};
}

// A usable host address of the subnet given by `prefix` (1 to 30), or why not.
QString hostProblem(std::uint32_t address, std::optional<int> prefix)
{
    if (QString range = excludedRange(address); !range.isEmpty())
        return range;
    if (!prefix)
        return {};
    const std::uint32_t hostMask = ~std::uint32_t{0} >> *prefix;
    if ((address & hostMask) == 0)
        return QStringLiteral("is the network address of %1").arg(subnetText(address, *prefix));
    if ((address & hostMask) == hostMask)
        return QStringLiteral("is the broadcast address of %1").arg(subnetText(address, *prefix));
    return {};
}

} // namespace

std::optional<std::uint32_t> parseDotted(QStringView text)
{
    if (text.count(u'.') != 3)
        return std::nullopt;
    std::uint32_t address = 0;
    qsizetype start = 0;
    for (int i = 0; i < 4; ++i) {
        qsizetype end = text.indexOf(u'.', start);
        if (end < 0)
            end = text.size();
        const auto octet = parseDecimal(text.mid(start, end - start), 3, 255);
        if (!octet)
            return std::nullopt;
        address = (address << 8) | *octet;
        start = end + 1;
    }
    return address;
}

QString formatDotted(std::uint32_t address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

int prefixLength(std::uint32_t mask)
{
    const std::uint32_t hostBits = ~mask;
    if ((hostBits & (hostBits + 1)) != 0)
        return -1;
    int prefix = 0;
    for (std::uint32_t m = mask; m & 0x80000000U; m <<= 1)
        ++prefix;
    return prefix;
}

std::uint32_t maskOfPrefix(int prefix)
{
    // A shift by 32 is undefined, so the empty mask is said outright.
    return prefix <= 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
}

std::optional<std::uint16_t> parsePort(QStringView text)
{
    const auto value = parseDecimal(text, 5, 65535);
    if (!value)
        return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

ParsedFields parseFields(const FieldTexts &texts)
{
    ParsedFields parsed;
    const auto address = [&parsed](const QString &text, const char *field, std::optional<std::uint32_t> &slot) {
        if (text.isNull())
            return;
        slot = parseDotted(text);
        if (!slot)
            parsed.syntaxErrors.append({QLatin1String(field), QStringLiteral("%1 \"%2\" is not a dotted address of four octets 0 to 255")
                                                                  .arg(QLatin1String(field), printable(text))});
    };
    address(texts.ip, "ip", parsed.config.ip);
    if (!texts.port.isNull()) {
        parsed.config.port = parsePort(texts.port);
        if (!parsed.config.port)
            parsed.syntaxErrors.append({QStringLiteral("port"),
                                        QStringLiteral("port \"%1\" is not a number from 1 to 65535").arg(printable(texts.port))});
    }
    address(texts.gateway, "gateway", parsed.config.gateway);
    address(texts.mask, "mask", parsed.config.mask);
    return parsed;
}

QList<Violation> fieldViolations(const PlannedConfig &config)
{
    QList<Violation> violations;
    const auto refuse = [&violations](const char *field, const QString &message) {
        violations.append({QLatin1String(field), message});
    };
    std::optional<int> prefix;
    if (config.mask) {
        const int length = prefixLength(*config.mask);
        const QString mask = formatDotted(*config.mask);
        if (length < 0)
            refuse("mask", QStringLiteral("mask %1 is not contiguous").arg(mask));
        else if (length < 1 || length > 30)
            refuse("mask", QStringLiteral("mask %1 is a /%2; the prefix must be 1 to 30").arg(mask).arg(length));
        else
            prefix = length;
    }
    if (config.ip) {
        if (const QString why = hostProblem(*config.ip, prefix); !why.isEmpty())
            refuse("ip", QStringLiteral("ip %1 %2").arg(formatDotted(*config.ip), why));
    }
    if (config.port && *config.port == 0)
        refuse("port", QStringLiteral("port 0 is outside 1 to 65535"));
    if (config.gateway && *config.gateway != 0) {
        const QString gateway = formatDotted(*config.gateway);
        // The gateway being the ip itself needs no mask to judge, so it is
        // reported whether the mask is absent, refused or fine.
        if (const QString why = hostProblem(*config.gateway, prefix); !why.isEmpty())
            refuse("gateway", QStringLiteral("gateway %1 %2").arg(gateway, why));
        else if (config.ip && *config.gateway == *config.ip)
            refuse("gateway", QStringLiteral("gateway %1 is the ip itself").arg(gateway));
        else if (config.ip && prefix) {
            const std::uint32_t mask = *config.mask;
            if ((*config.gateway & mask) != (*config.ip & mask))
                refuse("gateway", QStringLiteral("gateway %1 is outside %2, the subnet of ip %3")
                                      .arg(gateway, subnetText(*config.ip, *prefix), formatDotted(*config.ip)));
        }
    }
    return violations;
}

QStringList messagesOf(const QList<Violation> &violations)
{
    QStringList messages;
    for (const Violation &violation : violations)
        messages << violation.message;
    return messages;
}

QStringList ruleViolations(const PlannedConfig &config) { return messagesOf(fieldViolations(config)); }

PlannedConfig merged(const PlannedConfig &base, const PlannedConfig &change)
{
    PlannedConfig result = base;
    if (change.ip)
        result.ip = change.ip;
    if (change.port)
        result.port = change.port;
    if (change.gateway)
        result.gateway = change.gateway;
    if (change.mask)
        result.mask = change.mask;
    return result;
}

} // namespace pnv::net
