#include "ConnectDiagnosis.h"

#include "AddressRules.h"
#include "Messages.h"
#include "Reach.h"

namespace pnv {

QString connectDiagnosis(const QString &encoderAddress, std::int32_t port)
{
    const std::optional<std::uint32_t> encoder = net::parseDotted(encoderAddress);
    if (!encoder)
        return QStringLiteral("\"%1\" is not an address of four numbers from 0 to 255; the encoder was not reached.")
            .arg(printable(encoderAddress));
    // A simulated encoder may listen on loopback; no real one can.
    const bool loopback = (*encoder >> 24) == 127;
    net::PlannedConfig asked;
    asked.ip = encoder;
    if (const QStringList refused = loopback ? QStringList() : net::ruleViolations(asked); !refused.isEmpty())
        return QStringLiteral("No encoder can be at that address: %1.").arg(refused.join(QStringLiteral("; ")));
    if (port < 1 || port > 65535)
        return QStringLiteral("Port %1 is not a port from 1 to 65535; the encoder was not reached.").arg(port);

    const QString host = net::formatDotted(*encoder);
    const std::vector<net::InterfaceAddress> addresses = net::localAddresses();
    const net::RouteLookup lookup = net::routeTo(*encoder, static_cast<std::uint16_t>(port), addresses);
    // The links too, as doctor takes them: a NIC without IPv4, one that is
    // down and the uplink are named as doctor names them.
    const net::Reach reach = net::judgeReach(*encoder, lookup.route, addresses, net::localLinks());

    QStringList lines;
    if (!reach.suggestion.isEmpty() && !reach.suggestion.startsWith(QLatin1String("ip addr add"))) {
        // Not an address to add: what doctor found says why, and the command follows.
        for (const QString &note : reach.notes)
            lines << note.left(1).toUpper() + note.mid(1) + u'.';
        lines << QStringLiteral("This command, run as root, would help:") << reach.suggestion;
    } else if (!reach.suggestion.isEmpty()) {
        // The suggestion ends with the interface it names.
        const QString device = reach.suggestion.section(QLatin1Char(' '), -1);
        lines << QStringLiteral("No interface of this computer has an address in a subnet containing %1.").arg(host)
              << (device == QLatin1String("DEVICE")
                      ? QStringLiteral("To give the interface cabled to the encoder one, run as root, with its name for DEVICE:")
                      : QStringLiteral("To give %1 one, run as root:").arg(device))
              << reach.suggestion;
    } else if (!reach.inSubnet.empty()) {
        const net::InterfaceAddress &holder = reach.inSubnet.front();
        lines << QStringLiteral("%1 holds %2/%3, which contains %4, but the encoder did not answer at port %5.")
                     .arg(holder.interface, net::formatDotted(holder.address))
                     .arg(holder.prefix)
                     .arg(host)
                     .arg(port)
              << QStringLiteral("Check its power and cable, and that it still has this address and port.");
    }
    if (lookup.route && !lookup.route->interface.isEmpty())
        lines << QStringLiteral("This computer reaches %1 through %2, from %3.")
                     .arg(host, lookup.route->interface, net::formatDotted(lookup.route->source));
    else if (!lookup.route)
        lines << QStringLiteral("This computer has no route to %1 (%2).").arg(host, lookup.error);
    return lines.join(QLatin1Char('\n'));
}

} // namespace pnv
