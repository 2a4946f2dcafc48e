#pragma once
// What `pnv3400ctl doctor` finds out about this computer's side of the link:
// which interface and source address the kernel would use to reach an
// encoder, and whether any interface holds an address in a subnet containing
// it. The most common reason a factory-reset encoder cannot be reached is a
// computer with no address next to it; the suggestion is the one command that
// would give it one. The route lookup sends no packet (a UDP connect() only
// asks the kernel); only the check that a suggested address is free does,
// and only when asked to.

#include "AddressProbe.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>
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

// Every interface, whether it holds an IPv4 address or not: a NIC just
// plugged in often has none yet, and is the one to give one.
struct Link {
    QString interface;
    bool up = false;
    bool carrier = false;   // something answers at the other end of the cable
    bool loopback = false;
    bool uplink = false;    // it carries the default route: the way out, not a cable to an encoder
};
std::vector<Link> localLinks();

struct Route {
    QString interface;   // empty when no interface holds the source address
    std::uint32_t source = 0;
    bool viaDefault = false;   // the default route's interface: no route of its own leads there
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
    QString refusal;                          // why no encoder can be at that address at all, or empty
    std::vector<InterfaceAddress> inSubnet;   // interfaces that are up and whose subnet contains the encoder
    // The one command that would help: "ip addr add A/P dev IF" when no
    // interface is next to the encoder, "ip link set IF up" when a NIC is
    // down (the one next to it, or one that could be), "ip route add E/32 dev
    // IF" when only the uplink's network holds it, "ip addr del E/P dev IF"
    // when this computer holds the encoder's address itself; empty when none
    // is needed. Never an address on the uplink unless it is the only NIC.
    QString suggestion;
    QStringList notes;   // no carrier, two interfaces on the subnet, an interface that is down, the uplink, ...
};
// Whether something answers at an address on an interface, asked before
// that address is suggested to this computer.
using NeighbourProbe = std::function<AddressProbe(std::uint32_t address, const QString &interface)>;
constexpr int kNeighbourTries = 8;

// `links` empty: taken from `addresses`, every one with a carrier. With
// `probe`, a neighbour address suggested for an interface is one that did
// not answer there (the first of kNeighbourTries that did not), and each one
// that answered is noted.
Reach judgeReach(std::uint32_t encoder, const std::optional<Route> &route, const std::vector<InterfaceAddress> &addresses,
                 std::vector<Link> links = {}, const NeighbourProbe &probe = {});

// This computer's side of the link to an encoder, as data and as one
// paragraph for people: what doctor says before it asks the encoder, and
// what the window can show when a connect fails. Sends nothing but, with
// `probeNeighbour`, the probes of the neighbour address it suggests.
struct Diagnosis {
    RouteLookup lookup;
    Reach reach;
    QString text;
};
Diagnosis diagnose(std::uint32_t encoder, std::uint16_t port, bool probeNeighbour = false);

// {"route": {"interface", "source"} or null, "route-error", "in-subnet": [...], "suggestion", "notes", "refusal"}
QJsonObject reachJson(const RouteLookup &lookup, const Reach &reach);

} // namespace pnv::net
