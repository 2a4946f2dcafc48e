#pragma once
// Whether anything already answers at an address, asked before an encoder is
// moved there: an ICMP echo (from an unprivileged ping socket where the system
// allows one, else a raw socket where we may open one) and a TCP connect to
// the encoder's port, side by side, within one short bounded wait. Two devices
// on one address is the failure that is hardest to find afterwards.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace pnv::net {

constexpr int kProbeWaitMs = 400;

struct AddressProbe {
    bool answered = false;
    QString reason;        // what answered, e.g. "accepts connections on port 3001"
    QStringList skipped;   // a check that could not run, and why: "icmp: ...", "tcp: ..."
};

AddressProbe probeAddress(std::uint32_t address, std::uint16_t port, int waitMs = kProbeWaitMs);

// The same, but out of `interface` alone (SO_BINDTODEVICE), whatever the
// routes say, and with an ARP probe as well (RFC 5227: sent from 0.0.0.0, so
// that no neighbour learns anything from it) where a packet socket may be
// opened: how to ask whether an address is free on a link where this computer
// holds no address yet, which only ARP can ask for certain.
AddressProbe probeOnLink(std::uint32_t address, std::uint16_t port, const QString &interface, int waitMs = kProbeWaitMs);

struct ProbeTarget {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};
// Each target probed as probeAddress() does, many side by side, so that the
// new addresses of a whole plan cost a few probe times rather than one each.
// The results are in the order of the targets.
std::vector<AddressProbe> probeAddresses(const std::vector<ProbeTarget> &targets, int waitMs = kProbeWaitMs);

} // namespace pnv::net
