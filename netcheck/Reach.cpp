#include "Reach.h"

#include "AddressRules.h"

#include <QJsonArray>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
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
    lookup.route = route;
    return lookup;
}

int assumedPrefix(std::uint32_t encoder) { return (encoder >> 16) == 0xAC10 ? 16 : 24; }

Reach judgeReach(std::uint32_t encoder, const std::optional<Route> &route, const std::vector<InterfaceAddress> &addresses)
{
    Reach reach;
    for (const InterfaceAddress &item : addresses)
        if (item.up && contains(item, encoder))
            reach.inSubnet.push_back(item);
    if (!reach.inSubnet.empty())
        return reach;

    // The neighbour of the encoder in its subnet: the next address up, or
    // the one below when the next would be the broadcast address.
    const int prefix = assumedPrefix(encoder);
    const std::uint32_t hostMask = ~maskOfPrefix(prefix);
    std::uint32_t neighbour = encoder + 1;
    if ((neighbour & hostMask) == hostMask || (neighbour & hostMask) == 0)
        neighbour = encoder - 1;
    // The interface the kernel would use anyway, unless that is loopback;
    // else the first interface that is up and not loopback.
    QString device;
    if (route && !route->interface.isEmpty())
        for (const InterfaceAddress &item : addresses)
            if (item.interface == route->interface && !item.loopback)
                device = item.interface;
    for (const InterfaceAddress &item : addresses)
        if (device.isEmpty() && item.up && !item.loopback)
            device = item.interface;
    reach.suggestion = QStringLiteral("ip addr add %1/%2 dev %3")
                           .arg(formatDotted(neighbour))
                           .arg(prefix)
                           .arg(device.isEmpty() ? QStringLiteral("DEVICE") : device);
    return reach;
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
                                                                      : QJsonValue(reach.suggestion)}};
}

} // namespace pnv::net
