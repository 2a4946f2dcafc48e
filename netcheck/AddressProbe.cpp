#include "AddressProbe.h"

#include "AddressRules.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/if_ether.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pnv::net {
namespace {

constexpr std::uint16_t kSequence = 1;

sockaddr_in socketAddress(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    return to;
}

std::uint16_t checksum(const std::uint8_t *data, std::size_t size)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += std::uint32_t(data[i]) << 8 | data[i + 1];
    if (size % 2)
        sum += std::uint32_t(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum);
}

struct Socket {
    int fd = -1;
    bool raw = false;
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString systemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Ties a socket to one interface, so that it never leaves by another one; an
// empty name leaves it to the routes. Why it could not be tied, or empty.
QString bindToDevice(int fd, const QString &interface)
{
    if (interface.isEmpty())
        return {};
    const QByteArray name = interface.toLocal8Bit();
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.constData(), socklen_t(name.size())) != 0)
        return QStringLiteral("cannot send out of %1 alone (%2)").arg(interface, systemError());
    return {};
}

// An echo request on a socket of its own, or why none could be sent.
QString sendEcho(Socket &icmp, std::uint32_t address, std::uint16_t &identifier, const QString &interface)
{
    icmp.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (icmp.fd < 0) {
        const int dgramError = errno;
        icmp.fd = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (icmp.fd < 0)
            return QStringLiteral("icmp: no ping socket for this user (%1; see net.ipv4.ping_group_range)")
                .arg(QString::fromLocal8Bit(std::strerror(dgramError)));
        icmp.raw = true;
    }
    if (const QString why = bindToDevice(icmp.fd, interface); !why.isEmpty())
        return QStringLiteral("icmp: ") + why;
    // Connected, so that only the address asked about can answer.
    const sockaddr_in to = socketAddress(address, 0);
    if (::connect(icmp.fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
        return QStringLiteral("icmp: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    identifier = std::uint16_t(::getpid());
    std::uint8_t packet[16] = {ICMP_ECHO, 0, 0, 0, std::uint8_t(identifier >> 8), std::uint8_t(identifier),
                               0, kSequence, 'p', 'n', 'v', '3', '4', '0', '0', 0};
    const std::uint16_t sum = checksum(packet, sizeof packet);
    packet[2] = std::uint8_t(sum >> 8);
    packet[3] = std::uint8_t(sum);
    if (::send(icmp.fd, packet, sizeof packet, 0) < 0)
        return QStringLiteral("icmp: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    return {};
}

// True when what arrived is the reply to our echo. A ping socket hands over
// the ICMP message alone and has matched the identifier itself; a raw socket
// sees every ICMP message to this host, IP header first.
bool isEchoReply(const Socket &icmp, std::uint16_t identifier)
{
    std::uint8_t buffer[1500];
    const ssize_t got = ::recv(icmp.fd, buffer, sizeof buffer, 0);
    if (got <= 0)
        return false;
    std::size_t offset = 0;
    if (icmp.raw) {
        offset = std::size_t(buffer[0] & 0x0F) * 4;
        if (std::size_t(got) < offset + 8 || buffer[offset + 4] != std::uint8_t(identifier >> 8)
            || buffer[offset + 5] != std::uint8_t(identifier))
            return false;
    }
    return std::size_t(got) >= offset + 8 && buffer[offset] == ICMP_ECHOREPLY
           && buffer[offset + 7] == kSequence && buffer[offset + 6] == 0;
}

// An ARP probe for `address` out of `interface`, on a packet socket of its
// own, or why none could be sent.
QString sendArpProbe(Socket &arp, std::uint32_t address, const QString &interface)
{
    const QByteArray name = interface.toLocal8Bit();
    const unsigned index = ::if_nametoindex(name.constData());
    if (index == 0)
        return QStringLiteral("arp: no interface %1").arg(interface);
    ifreq request{};
    std::memcpy(request.ifr_name, name.constData(), std::min<std::size_t>(std::size_t(name.size()), IFNAMSIZ - 1));
    {
        Socket any;
        any.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (any.fd < 0 || ::ioctl(any.fd, SIOCGIFHWADDR, &request) != 0)
            return QStringLiteral("arp: %1").arg(systemError());
    }
    if (request.ifr_hwaddr.sa_family != ARPHRD_ETHER)
        return QStringLiteral("arp: %1 is no Ethernet interface").arg(interface);
    arp.fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (arp.fd < 0)
        return QStringLiteral("arp: no packet socket for this user (%1; it needs CAP_NET_RAW)").arg(systemError());
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ARP);
    link.sll_ifindex = int(index);
    if (::bind(arp.fd, reinterpret_cast<const sockaddr *>(&link), sizeof link) != 0)
        return QStringLiteral("arp: %1").arg(systemError());
    ether_arp packet{};
    packet.arp_hrd = htons(ARPHRD_ETHER);
    packet.arp_pro = htons(ETH_P_IP);
    packet.arp_hln = ETH_ALEN;
    packet.arp_pln = 4;
    packet.arp_op = htons(ARPOP_REQUEST);
    std::memcpy(packet.arp_sha, request.ifr_hwaddr.sa_data, ETH_ALEN);
    const std::uint32_t target = htonl(address);
    std::memcpy(packet.arp_tpa, &target, 4);
    link.sll_halen = ETH_ALEN;
    std::memset(link.sll_addr, 0xFF, ETH_ALEN);
    if (::sendto(arp.fd, &packet, sizeof packet, 0, reinterpret_cast<const sockaddr *>(&link), sizeof link) < 0)
        return QStringLiteral("arp: %1").arg(systemError());
    return {};
}

// The hardware address of a host that says it holds `address` (a reply to
// our probe, or its own probe or announcement), or empty.
QString arpHolder(const Socket &arp, std::uint32_t address)
{
    ether_arp packet{};
    const ssize_t got = ::recv(arp.fd, &packet, sizeof packet, 0);
    std::uint32_t sender = 0;
    std::memcpy(&sender, packet.arp_spa, 4);
    if (got < ssize_t(sizeof packet) || ntohs(packet.arp_pro) != ETH_P_IP || ntohl(sender) != address)
        return {};
    QStringList octets;
    for (const std::uint8_t octet : packet.arp_sha)
        octets << QStringLiteral("%1").arg(octet, 2, 16, QLatin1Char('0')).toUpper();
    return octets.join(u':');
}

AddressProbe probeWith(std::uint32_t address, std::uint16_t port, int waitMs, const QString &interface)
{
    AddressProbe probe;
    const QDeadlineTimer deadline(waitMs);

    Socket icmp;
    std::uint16_t identifier = 0;
    if (const QString why = sendEcho(icmp, address, identifier, interface); !why.isEmpty()) {
        probe.skipped << why;
        ::close(icmp.fd);
        icmp.fd = -1;
    }
    Socket arp;
    if (!interface.isEmpty()) {
        if (const QString why = sendArpProbe(arp, address, interface); !why.isEmpty()) {
            probe.skipped << why;
            ::close(arp.fd);
            arp.fd = -1;
        }
    }

    Socket tcp;
    bool tcpPending = false;
    const auto tcpDone = [&](int error) {
        tcpPending = false;
        if (error == 0) {
            probe.answered = true;
            probe.reason = QStringLiteral("accepts connections on port %1").arg(port);
        } else if (error == ECONNREFUSED && !probe.answered) {
            // A refusal is an answer too: only a host at that address sends it.
            probe.answered = true;
            probe.reason = QStringLiteral("refuses connections on port %1, so a host is there").arg(port);
        } else if (error == ENETUNREACH || error == EHOSTUNREACH) {
            // Nothing could have answered from here: said by name, so that
            // "not in use" is never read into it.
            probe.skipped << QStringLiteral("tcp: no route to %1 (%2: %3)")
                                 .arg(formatDotted(address),
                                      QLatin1String(error == ENETUNREACH ? "ENETUNREACH" : "EHOSTUNREACH"),
                                      QString::fromLocal8Bit(std::strerror(error)));
        }
    };
    tcp.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const QString unbound = tcp.fd < 0 ? systemError() : bindToDevice(tcp.fd, interface);
    if (!unbound.isEmpty()) {
        probe.skipped << QStringLiteral("tcp: %1").arg(unbound);
    } else {
        const sockaddr_in to = socketAddress(address, port);
        if (::connect(tcp.fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0)
            tcpDone(0);
        else if (errno == EINPROGRESS)
            tcpPending = true;
        else
            tcpDone(errno);
    }

    while (!probe.answered && (icmp.fd >= 0 || arp.fd >= 0 || tcpPending) && !deadline.hasExpired()) {
        pollfd fds[3];
        nfds_t count = 0;
        if (icmp.fd >= 0)
            fds[count++] = {icmp.fd, POLLIN, 0};
        if (arp.fd >= 0)
            fds[count++] = {arp.fd, POLLIN, 0};
        if (tcpPending)
            fds[count++] = {tcp.fd, POLLOUT, 0};
        const int ready = ::poll(fds, count, int(qMax<qint64>(0, deadline.remainingTime())));
        if (ready < 0 && errno != EINTR)
            break;
        for (nfds_t i = 0; i < nfds_t(ready > 0 ? count : 0); ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == tcp.fd) {
                int error = 0;
                socklen_t size = sizeof error;
                ::getsockopt(tcp.fd, SOL_SOCKET, SO_ERROR, &error, &size);
                tcpDone(error);
            } else if (fds[i].fd == arp.fd) {
                if (const QString holder = arpHolder(arp, address); !holder.isEmpty() && !probe.answered) {
                    probe.answered = true;
                    probe.reason = QStringLiteral("answers ARP on %1 (MAC %2)").arg(interface, holder);
                }
            } else if (isEchoReply(icmp, identifier) && !probe.answered) {
                probe.answered = true;
                probe.reason = QStringLiteral("answers ICMP echo (ping)");
            }
        }
    }
    if (probe.answered)
        probe.reason = QStringLiteral("%1 %2").arg(formatDotted(address), probe.reason);
    return probe;
}

} // namespace

AddressProbe probeAddress(std::uint32_t address, std::uint16_t port, int waitMs)
{
    return probeWith(address, port, waitMs, {});
}

AddressProbe probeOnLink(std::uint32_t address, std::uint16_t port, const QString &interface, int waitMs)
{
    return probeWith(address, port, waitMs, interface);
}

std::vector<AddressProbe> probeAddresses(const std::vector<ProbeTarget> &targets, int waitMs)
{
    // Each probe holds two descriptors for at most `waitMs`: as many at once
    // as the limit of open files leaves room for, keeping some for the rest.
    rlimit files{};
    const rlim_t limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 1024;
    const long room = long(std::min<rlim_t>(limit, 8192)) / 2 - 64;
    const std::size_t atOnce = std::size_t(std::clamp<long>(room, 1, 1024));
    std::vector<AddressProbe> results(targets.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < targets.size();)
            results[i] = probeAddress(targets[i].address, targets[i].port, waitMs);
    };
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < std::min(atOnce, targets.size()); ++t)
        threads.emplace_back(work);
    for (std::thread &thread : threads)
        thread.join();
    return results;
}

} // namespace pnv::net
