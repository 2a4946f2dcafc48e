#include "Batch.h"

#include "StateFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>

#include <utility>

namespace pnv::sim {
namespace {

Q_LOGGING_CATEGORY(batchLog, "pnv3400.sim")

void note(const QString &message) { qCInfo(batchLog).noquote() << "pnv3400-sim:" << message; }

} // namespace

Batch::Batch(QObject *parent) : QObject(parent)
{
    m_swap.setSingleShot(true);
    connect(&m_swap, &QTimer::timeout, this, [this] {
        if (const QString error = plugIn(); !error.isEmpty()) {
            // The listening address was free a moment ago; losing it is the host's fault, not a test's to hide.
            qCCritical(batchLog).noquote() << "pnv3400-sim:" << error;
            QCoreApplication::exit(1);
        } else if (!m_server) {
            note(QStringLiteral("every encoder of the batch is commissioned; nothing answers at %1").arg(listening()));
        }
    });
}

Batch::~Batch()
{
    // The sessions refer to the device: they go first.
    delete m_server;
}

QString Batch::statePath(const QString &stateDir, int index)
{
    return QDir(stateDir).filePath(QStringLiteral("encoder-%1.state").arg(index));
}

QString Batch::start(const BatchOptions &options)
{
    m_options = options;
    if (options.count < 1 || options.count > kMaxEncoders)
        return QStringLiteral("--batch needs 1 to %1 encoders").arg(kMaxEncoders);
    if (options.port == 0)
        return QStringLiteral("--batch needs a fixed --port, the same for every encoder");
    if (options.swapMs < 0 || options.swapMs > kMaxSwapMs)
        return QStringLiteral("--swap-ms needs milliseconds, 0 to %1").arg(kMaxSwapMs);
    if (options.stateDir.isEmpty() || !QDir().mkpath(options.stateDir))
        return QStringLiteral("--batch needs a --state-dir that exists or can be made");
    // Every state is made at once, so that a test or a plan can know the MACs before the first is plugged in.
    for (int i = 1; i <= options.count; ++i) {
        const QString path = statePath(options.stateDir, i);
        QFile::remove(temporaryPath(path));   // left by a save that was cut short
        const StateLoad loaded = loadState(path);
        if (!loaded.config && !loaded.missing && !options.factoryReset)
            return QStringLiteral("unusable state file %1 (fix or remove it, or start with --factory-reset)").arg(loaded.error);
        if (loaded.config && !options.factoryReset)
            continue;
        const auto config = tessalin::NetworkConfig::factory(loaded.config ? loaded.config->mac : macForStatePath(path));
        if (const QString error = saveState(path, config); !error.isEmpty())
            return error;
    }
    if (const QString error = plugIn(); !error.isEmpty() || m_server)
        return error;
    // Listening on nothing would tell a lie on the "listening on" line.
    return QStringLiteral("every encoder in %1 holds its configuration already; --factory-reset starts over")
        .arg(options.stateDir);
}

QString Batch::listening() const
{
    return QStringLiteral("%1:%2").arg(m_options.address.toString()).arg(m_options.port);
}

std::unique_ptr<EncoderDevice> Batch::nextFresh(QString &error)
{
    while (++m_index <= m_options.count) {
        const QString path = statePath(m_options.stateDir, m_index);
        const StateLoad loaded = loadState(path);
        if (!loaded.config) {
            error = QStringLiteral("unusable state file %1").arg(loaded.error);
            return nullptr;
        }
        // One that holds anything else was commissioned before: it answers elsewhere now.
        if (*loaded.config != tessalin::NetworkConfig::factory(loaded.config->mac))
            continue;
        auto device = std::make_unique<EncoderDevice>(path, *loaded.config, m_options.faults);
        device->setStoredHandler([this] { m_written = true; });
        note(QStringLiteral("encoder %1 of %2 plugged in: MAC %3, state %4")
                 .arg(m_index)
                 .arg(m_options.count)
                 .arg(formatMac(loaded.config->mac), path));
        return device;
    }
    return nullptr;
}

QString Batch::plugIn()
{
    m_written = false;
    QString error;
    m_device = nextFresh(error);
    if (!m_device)
        return error;
    m_server = new EncoderServer(*m_device, m_options.limits);
    if (m_options.pairs) {
        m_partner = nextFresh(error);
        if (!error.isEmpty())
            return error;
        if (m_partner)
            m_server->alsoServe(*m_partner);
    }
    if (const QString failed = m_server->listen(m_options.address, m_options.port); !failed.isEmpty())
        return failed;
    connect(m_server, &EncoderServer::allSessionsEnded, this, &Batch::sessionsEnded);
    return {};
}

void Batch::sessionsEnded()
{
    // Its configuration is written and nobody holds a link to it: the installer unplugs it.
    if (m_written && m_server)
        unplug();
}

void Batch::unplug()
{
    note(QStringLiteral("encoder %1 written and unplugged; the next is plugged in after %2 ms")
             .arg(m_index)
             .arg(m_options.swapMs));
    // Not from inside the server's own signal: it and the device go once the loop is back.
    EncoderServer *server = std::exchange(m_server, nullptr);
    EncoderDevice *device = m_device.release();
    EncoderDevice *partner = m_partner.release();
    server->stopListening();
    connect(server, &QObject::destroyed, this, [device, partner] {
        delete device;
        delete partner;
    });
    server->deleteLater();
    m_swap.start(m_options.swapMs);
}

} // namespace pnv::sim
