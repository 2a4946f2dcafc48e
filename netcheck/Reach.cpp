#include "Reach.h"

#include "AddressRules.h"

#include <QFile>
#include <QJsonArray>

#include <algorithm>
#include <functional>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pnv::net {
namespace {

bool contains(const InterfaceAddress &holder, std::uint32_t address)
{
    const std::uint32_t mask = maskOfPrefix(holder.prefix);
    return (holder.address & mask) == (address & mask);
}

// The interface of the IPv4 default route, from the kernel's table; empty
// when there is none.
QString defaultRouteInterface()
{
    QFile table(QStringLiteral("/proc/net/route"));
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    table.readLine();   // the header
    while (!table.atEnd()) {
        const QList<QByteArray> fields = table.readLine().simplified().split(' ');
        if (fields.size() > 7 && fields[1] == "00000000" && fields[7] == "00000000")
            return QString::fromLocal8Bit(fields[0]);
    }
    return {};
}

} // namespace

std::vector<InterfaceAddress> localAddresses()
{
    std::vector<InterfaceAddress> result;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        InterfaceAddress item;
        item.interface = QString::fromLocal8Bit(entry->ifa_name);
        item.address = ntohl(reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr);
        const int prefix = entry->ifa_netmask
                               ? prefixLength(ntohl(reinterpret_cast<const sockaddr_in *>(entry->ifa_netmask)->sin_addr.s_addr))
                               : 32;
        item.prefix = prefix < 0 ? 32 : prefix;
        item.up = entry->ifa_flags & IFF_UP;
        item.loopback = entry->ifa_flags & IFF_LOOPBACK;
        result.push_back(item);
    }
    ::freeifaddrs(list);
    return result;
}

std::vector<Link> localLinks()
{
    const QString uplink = defaultRouteInterface();
    std::vector<Link> result;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET)
            continue;
        const QString name = QString::fromLocal8Bit(entry->ifa_name);
        result.push_back({name, (entry->ifa_flags & IFF_UP) != 0, (entry->ifa_flags & IFF_RUNNING) != 0,
                          (entry->ifa_flags & IFF_LOOPBACK) != 0, name == uplink});
    }
    ::freeifaddrs(list);
    return result;
}

RouteLookup routeTo(std::uint32_t encoder, std::uint16_t port, const std::vector<InterfaceAddress> &addresses)
{
    RouteLookup lookup;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lookup.error = QString::fromLocal8Bit(std::strerror(errno));
        return lookup;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(encoder);
    to.sin_port = htons(port);
    sockaddr_in from{};
    socklen_t size = sizeof from;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
        lookup.error = QString::fromLocal8Bit(std::strerror(errno));
    else if (::getsockname(fd, reinterpret_cast<sockaddr *>(&from), &size) != 0)
        lookup.error = QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    if (!lookup.error.isEmpty())
        return lookup;
    Route route;
    route.source = ntohl(from.sin_addr.s_addr);
    for (const InterfaceAddress &item : addresses)
        if (item.address == route.source) {
            route.interface = item.interface;
            break;
        }
    route.viaDefault = !route.interface.isEmpty() && route.interface == defaultRouteInterface();
    lookup.route = route;
    return lookup;
}

int assumedPrefix(std::uint32_t encoder) { return (encoder >> 16) == 0xAC10 ? 16 : 24; }

namespace {

// Why no encoder can have this address, whatever this computer does; empty
// when one can. A loopback address is allowed: a simulator may be there.
QString addressRefusal(std::uint32_t encoder, int prefix)
{
    const QString text = formatDotted(encoder);
    if ((encoder >> 24) == 0)
        return QStringLiteral("%1 is in 0.0.0.0/8, which means this network, not a device on it").arg(text);
    if ((encoder >> 28) == 0xE)
        return QStringLiteral("%1 is a multicast address (224.0.0.0/4), never a device's own").arg(text);
    if ((encoder >> 28) == 0xF)
        return QStringLiteral("%1 is in 240.0.0.0/4 (reserved; 255.255.255.255 is the broadcast address)").arg(text);
    const std::uint32_t hostMask = ~maskOfPrefix(prefix);
    if (prefix < 31 && (encoder & hostMask) == 0)
        return QStringLiteral("%1 is the network address of %2/%3").arg(text, formatDotted(encoder & ~hostMask)).arg(prefix);
    if (prefix < 31 && (encoder & hostMask) == hostMask)
        return QStringLiteral("%1 is the broadcast address of %2/%3").arg(text, formatDotted(encoder & ~hostMask)).arg(prefix);
    return {};
}

const Link *findLink(const std::vector<Link> &links, const QString &name)
{
    for (const Link &link : links)
        if (link.interface == name)
            return &link;
    return nullptr;
}

QString noCarrier(const QString &interface)
{
    return QStringLiteral("%1 has no carrier: no cable, or nothing answers at its other end").arg(interface);
}

// The interface to give an address next to the encoder: one that is up and
// holds no IPv4 address yet (a NIC just plugged in); else the one a route of
// its own leads to; else any other that is up; the uplink (the default
// route's) only when it is the only one. Those with a carrier first.
QString chooseDevice(const std::optional<Route> &route, const std::vector<InterfaceAddress> &addresses,
                     const std::vector<Link> &links)
{
    const auto holdsIpv4 = [&addresses](const QString &name) {
        return std::any_of(addresses.begin(), addresses.end(), [&name](const InterfaceAddress &a) { return a.interface == name; });
    };
    const auto first = [&links](const std::function<bool(const Link &)> &wanted) {
        for (const bool needCarrier : {true, false})
            for (const Link &link : links)
                if (link.up && !link.loopback && (link.carrier || !needCarrier) && wanted(link))
                    return link.interface;
        return QString();
    };
    const QString routed = route && !route->viaDefault ? route->interface : QString();
    QString device = first([&](const Link &link) { return !link.uplink && !holdsIpv4(link.interface); });
    if (device.isEmpty())
        device = first([&](const Link &link) { return !link.uplink && link.interface == routed; });
    if (device.isEmpty())
        device = first([&](const Link &link) {
            return !link.uplink && !(route && route->viaDefault && link.interface == route->interface);
        });
    if (device.isEmpty())
        device = first([](const Link &) { return true; });
    return device;
}

// The neighbour of the encoder in its subnet that no interface here holds
// and, with `probe`, that nothing answers at on `device`: the next address
// up, or down from the encoder when up runs into the broadcast address.
std::uint32_t neighbourOf(std::uint32_t encoder, int prefix, const std::vector<InterfaceAddress> &addresses,
                          const QString &device, const NeighbourProbe &probe, QStringList &notes)
{
    const std::uint32_t hostMask = ~maskOfPrefix(prefix);
    const auto usable = [&](std::uint32_t candidate) {
        const std::uint32_t host = candidate & hostMask;
        return candidate != encoder && host != 0 && host != hostMask && (candidate & ~hostMask) == (encoder & ~hostMask)
               && std::none_of(addresses.begin(), addresses.end(),
                               [candidate](const InterfaceAddress &a) { return a.address == candidate; });
    };
    int tries = 0;
    std::optional<std::uint32_t> first;
    for (std::uint32_t step = 1; step < 64; ++step) {
        for (const std::uint32_t candidate : {encoder + step, encoder - step}) {
            if (!usable(candidate))
                continue;
            if (!first)
                first = candidate;
            if (!probe || device.isEmpty())
                return candidate;
            if (tries++ == kNeighbourTries) {
                notes << QStringLiteral("the first %1 neighbour addresses answer on %2; %3 was not checked")
                             .arg(kNeighbourTries)
                             .arg(device, formatDotted(candidate));
                return candidate;
            }
            const AddressProbe answer = probe(candidate, device);
            if (answer.answered) {
                notes << QStringLiteral("%1, so it is not suggested").arg(answer.reason);
                continue;
            }
            // What could not be asked is said, so that "nothing answered" is
            // never read as more than was asked.
            if (!answer.skipped.isEmpty())
                notes << QStringLiteral("whether %1 is free on %2 was checked without %3")
                             .arg(formatDotted(candidate), device, answer.skipped.join(QStringLiteral("; ")));
            return candidate;
        }
    }
    return first.value_or(encoder + 1);
}

} // namespace

Reach judgeReach(std::uint32_t encoder, const std::optional<Route> &route, const std::vector<InterfaceAddress> &addresses,
                 std::vector<Link> links, const NeighbourProbe &probe)
{
    if (links.empty())
        for (const InterfaceAddress &item : addresses)
            if (!findLink(links, item.interface))
                links.push_back({item.interface, item.up, true, item.loopback});
    Reach reach;
    std::vector<InterfaceAddress> down;
    for (const InterfaceAddress &item : addresses)
        if (contains(item, encoder) && !(item.loopback && item.address != encoder && item.prefix >= 31))
            (item.up ? reach.inSubnet : down).push_back(item);
    reach.refusal = addressRefusal(encoder, reach.inSubnet.empty() ? assumedPrefix(encoder) : reach.inSubnet.front().prefix);
    if (!reach.refusal.isEmpty()) {
        reach.inSubnet.clear();
        return reach;
    }
    const QString at = formatDotted(encoder);
    // This computer holds the encoder's address itself: whatever answers
    // there is this computer (a simulator on loopback is another matter).
    for (const InterfaceAddress &item : addresses)
        if (item.address == encoder && !item.loopback) {
            reach.notes << QStringLiteral("this computer holds %1 itself, on %2: what answers there is this computer, and "
                                          "an encoder at that address cannot be reached from here")
                               .arg(at, item.interface);
            reach.suggestion = QStringLiteral("ip addr del %1/%2 dev %3").arg(at).arg(item.prefix).arg(item.interface);
            return reach;
        }
    if (!reach.inSubnet.empty()) {
        // Only the uplink is next to it: the encoder is looked for on the
        // network the default route leads to, not on a cable of its own.
        const bool onlyUplink = std::all_of(reach.inSubnet.begin(), reach.inSubnet.end(), [&links](const InterfaceAddress &item) {
            const Link *link = findLink(links, item.interface);
            return link && link->uplink;
        });
        if (onlyUplink) {
            const InterfaceAddress &uplink = reach.inSubnet.front();
            const QString other = chooseDevice(std::nullopt, addresses, links);
            const bool elsewhere = !other.isEmpty() && other != uplink.interface;
            reach.notes << QStringLiteral("%1, the uplink (it carries the default route), holds %2/%3, which contains %4: the "
                                          "encoder is looked for on the uplink's network%5")
                               .arg(uplink.interface, formatDotted(uplink.address))
                               .arg(uplink.prefix)
                               .arg(at, elsewhere ? QStringLiteral(", not on %1; if the encoder is cabled to %1, a route of "
                                                                   "its own leads there")
                                                        .arg(other)
                                                  : QStringLiteral("; if it is not there, cable it to a NIC of its own"));
            if (elsewhere)
                reach.suggestion = QStringLiteral("ip route add %1/32 dev %2").arg(at, other);
        }
        if (reach.inSubnet.size() > 1) {
            QStringList names;
            for (const InterfaceAddress &item : reach.inSubnet)
                names << item.interface;
            reach.notes << QStringLiteral("%1 interfaces hold an address in a subnet containing %2 (%3); the route takes %4")
                               .arg(reach.inSubnet.size())
                               .arg(formatDotted(encoder), names.join(QStringLiteral(", ")),
                                    route && !route->interface.isEmpty() ? route->interface : QStringLiteral("none of them"));
        }
        for (const InterfaceAddress &item : reach.inSubnet)
            if (const Link *link = findLink(links, item.interface); link && !link->carrier && !link->loopback)
                reach.notes << noCarrier(item.interface);
        return reach;
    }
    if (!down.empty()) {
        reach.notes << QStringLiteral("%1 holds %2/%3, which contains %4, but is down")
                           .arg(down.front().interface, formatDotted(down.front().address))
                           .arg(down.front().prefix)
                           .arg(at);
        reach.suggestion = QStringLiteral("ip link set %1 up").arg(down.front().interface);
        return reach;
    }
    const int prefix = assumedPrefix(encoder);
    const QString device = chooseDevice(route, addresses, links);
    // With no NIC up but the uplink, a NIC that is down is the one cabled to
    // the encoder: it is brought up first, and nothing is suggested on the
    // uplink meanwhile.
    const Link *chosen = findLink(links, device);
    if (device.isEmpty() || (chosen && chosen->uplink) || (route && route->viaDefault && route->interface == device))
        for (const Link &link : links)
            if (!link.up && !link.loopback && !link.uplink) {
                reach.notes << QStringLiteral("%1 is down; once it is up, doctor says what it needs next").arg(link.interface);
                reach.suggestion = QStringLiteral("ip link set %1 up").arg(link.interface);
                return reach;
            }
    reach.suggestion = QStringLiteral("ip addr add %1/%2 dev %3")
                           .arg(formatDotted(neighbourOf(encoder, prefix, addresses, device, probe, reach.notes)))
                           .arg(prefix)
                           .arg(device.isEmpty() ? QStringLiteral("DEVICE") : device);
    if (const Link *link = findLink(links, device); link && !link->carrier)
        reach.notes << noCarrier(device);
    return reach;
}

Diagnosis diagnose(std::uint32_t encoder, std::uint16_t port, bool probeNeighbour)
{
    Diagnosis diagnosis;
    const std::vector<InterfaceAddress> addresses = localAddresses();
    diagnosis.lookup = routeTo(encoder, port, addresses);
    NeighbourProbe probe;
    if (probeNeighbour)
        probe = [port](std::uint32_t address, const QString &interface) { return probeOnLink(address, port, interface); };
    diagnosis.reach = judgeReach(encoder, diagnosis.lookup.route, addresses, localLinks(), probe);
    const Reach &reach = diagnosis.reach;
    const QString at = formatDotted(encoder);
    QStringList sentences;
    if (!reach.refusal.isEmpty()) {
        sentences << reach.refusal + QStringLiteral(": no encoder can be reached there.");
    } else {
        if (const auto &route = diagnosis.lookup.route)
            sentences << QStringLiteral("This computer reaches %1 through %2, from %3.")
                             .arg(at, route->interface.isEmpty() ? QStringLiteral("an unknown interface") : route->interface,
                                  formatDotted(route->source));
        else
            sentences << QStringLiteral("This computer has no route to %1 (%2).").arg(at, diagnosis.lookup.error);
        if (reach.inSubnet.empty())
            sentences << QStringLiteral("No interface that is up holds an address in a subnet containing it.");
        for (const QString &note : reach.notes)
            sentences << note + u'.';
        if (!reach.suggestion.isEmpty())
            sentences << QStringLiteral("This command would help: %1").arg(reach.suggestion);
    }
    diagnosis.text = sentences.join(u' ');
    return diagnosis;
}

QJsonObject reachJson(const RouteLookup &lookup, const Reach &reach)
{
    QJsonArray holders;
    for (const InterfaceAddress &item : reach.inSubnet)
        holders.append(QJsonObject{{QStringLiteral("interface"), item.interface},
                                   {QStringLiteral("address"), formatDotted(item.address)},
                                   {QStringLiteral("prefix"), item.prefix}});
    QJsonValue route = QJsonValue::Null;
    if (lookup.route)
        route = QJsonObject{{QStringLiteral("interface"), lookup.route->interface.isEmpty()
                                                              ? QJsonValue(QJsonValue::Null)
                                                              : QJsonValue(lookup.route->interface)},
                            {QStringLiteral("source"), formatDotted(lookup.route->source)}};
    return {{QStringLiteral("route"), route},
            {QStringLiteral("route-error"), lookup.error.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(lookup.error)},
            {QStringLiteral("in-subnet"), holders},
            {QStringLiteral("suggestion"), reach.suggestion.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                                      : QJsonValue(reach.suggestion)},
            {QStringLiteral("notes"), QJsonArray::fromStringList(reach.notes)},
            {QStringLiteral("refusal"), reach.refusal.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(reach.refusal)}};
}

} // namespace pnv::net
