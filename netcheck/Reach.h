#pragma once
// What `pnv3400ctl doctor` finds out about this computer's side of the link:
// which interface and source address the kernel would use to reach an
// encoder, and whether any interface holds an address in a subnet containing
// it. The most common reason a factory-reset encoder cannot be reached is a
// computer with no address next to it; the suggestion is the one command that
// would give it one. Nothing here sends a packet: the route lookup is a UDP
// connect(), which only asks the kernel.

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace pnv::net {

struct InterfaceAddress {
    QString interface;
    std::uint32_t address = 0;
    int prefix = 32;
    bool up = false;
    bool loopback = false;
};

// Every IPv4 address of every interface, in the system's order.
std::vector<InterfaceAddress> localAddresses();

struct Route {
    QString interface;   // empty when no interface holds the source address
    std::uint32_t source = 0;
};
// The source address the kernel would pick for `encoder`, or the reason
// there is none ("Network is unreachable").
struct RouteLookup {
    std::optional<Route> route;
    QString error;
};
RouteLookup routeTo(std::uint32_t encoder, std::uint16_t port, const std::vector<InterfaceAddress> &addresses);

// The subnet an encoder at `encoder` is taken to be in when nothing else is
// known: the factory subnet 172.16.0.0/16 for addresses in it, a /24 otherwise.
int assumedPrefix(std::uint32_t encoder);

struct Reach {
    std::vector<InterfaceAddress> inSubnet;   // interfaces whose subnet contains the encoder
    QString suggestion;                       // "ip addr add A/P dev IF" when none does
};
Reach judgeReach(std::uint32_t encoder, const std::optional<Route> &route,
                 const std::vector<InterfaceAddress> &addresses);

// {"route": {"interface", "source"} or null, "route-error", "in-subnet": [...], "suggestion"}
QJsonObject reachJson(const RouteLookup &lookup, const Reach &reach);

} // namespace pnv::net
