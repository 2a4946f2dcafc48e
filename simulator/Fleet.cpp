#include "Fleet.h"

#include "StateFile.h"

#include <QDir>
#include <QFile>

#include <sys/resource.h>

namespace pnv::sim {
namespace {

tessalin::Octets4 octetsOf(quint32 address)
{
    return {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)};
}

// Every encoder holds a listening socket and one per client: a large fleet
// needs more descriptors than the usual soft limit of 1024.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

QString Fleet::start(const FleetOptions &options)
{
    bool isV4 = false;
    const quint32 first = options.first.toIPv4Address(&isV4);
    if (!isV4)
        return QStringLiteral("--fleet needs an IPv4 --listen address");
    if (options.count < 1 || options.count > kMaxEncoders)
        return QStringLiteral("--fleet needs 1 to %1 encoders").arg(kMaxEncoders);
    if (quint64(first) + quint64(options.count) - 1 > 0xFFFFFFFFULL)
        return QStringLiteral("--fleet %1 from %2 runs past 255.255.255.255").arg(options.count).arg(options.first.toString());
    if (options.port == 0)
        return QStringLiteral("--fleet needs a fixed --port, the same for every encoder");
    if (options.stateDir.isEmpty() || !QDir().mkpath(options.stateDir))
        return QStringLiteral("--fleet needs a --state-dir that exists or can be made");
    raiseDescriptorLimit();

    for (int i = 0; i < options.count; ++i) {
        const quint32 address = first + quint32(i);
        const QHostAddress host(address);
        const QString path = QDir(options.stateDir).filePath(host.toString() + QStringLiteral(".state"));
        QFile::remove(temporaryPath(path));   // left by a save that was cut short
        const StateLoad loaded = loadState(path);
        if (!loaded.config && !loaded.missing && !options.factoryReset)
            return QStringLiteral("unusable state file %1 (fix or remove it, or start with --factory-reset)").arg(loaded.error);
        tessalin::NetworkConfig config;
        if (loaded.config && !options.factoryReset) {
            config = *loaded.config;
        } else {
            config = tessalin::NetworkConfig::factory(loaded.config ? loaded.config->mac : macForStatePath(path));
            config.address = octetsOf(address);
            if (const QString error = saveState(path, config); !error.isEmpty())
                return error;
        }
        auto device = std::make_unique<EncoderDevice>(path, config, options.faults);
        auto server = std::make_unique<EncoderServer>(*device, options.limits);
        if (const QString error = server->listen(host, options.port); !error.isEmpty())
            return error;
        m_listening << QStringLiteral("%1:%2").arg(host.toString()).arg(server->port());
        m_devices.push_back(std::move(device));
        m_servers.push_back(std::move(server));
    }
    return {};
}

} // namespace pnv::sim
