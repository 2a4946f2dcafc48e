#pragma once
// The simulated encoder's configuration: answers reads, checks and stores
// writes. It knows nothing of sockets; ClientSession frames its answers.

#include "FaultPlan.h"
#include "NetworkConfig.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace pnv::sim {

class EncoderDevice final {
public:
    EncoderDevice(QString statePath, const tessalin::NetworkConfig &config, FaultPlan faults);

    struct Answer {
        std::vector<std::uint8_t> payload;   // status byte, then the record on success
        QString note;                        // what happened, for the log
    };

    Answer read();
    Answer write(const std::uint8_t *request20);

    const FaultPlan &faults() const { return m_faults; }
    const tessalin::NetworkConfig &config() const { return m_config; }

private:
    QString m_statePath;
    tessalin::NetworkConfig m_config;
    FaultPlan m_faults;
};

} // namespace pnv::sim
