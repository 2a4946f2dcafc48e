#pragma once
// Many encoders in one simulator process, for tests and benchmarks of tools
// that configure encoders by the dozen: encoder i listens on the i-th
// consecutive address from the first, all on the same port, each with its
// own state file and MAC. A new encoder stores the address it listens on and
// the factory settings for the rest.

#include "ClientSession.h"
#include "EncoderDevice.h"
#include "EncoderServer.h"
#include "FaultPlan.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace pnv::sim {

struct FleetOptions {
    QHostAddress first;
    int count = 1;
    quint16 port = 3001;
    QString stateDir;
    FaultPlan faults;   // every encoder of the fleet meets the same faults
    SessionLimits limits;
    bool factoryReset = false;
};

class Fleet final {
public:
    static constexpr int kMaxEncoders = 4096;

    // Returns an error text, empty when every encoder listens.
    QString start(const FleetOptions &options);
    // "ADDRESS:PORT" of each encoder, in address order.
    const QStringList &listening() const { return m_listening; }

private:
    std::vector<std::unique_ptr<EncoderDevice>> m_devices;
    std::vector<std::unique_ptr<EncoderServer>> m_servers;
    QStringList m_listening;
};

} // namespace pnv::sim
