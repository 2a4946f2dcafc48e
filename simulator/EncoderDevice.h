#pragma once
// The simulated encoder's configuration: answers reads, checks and stores
// writes. It knows nothing of sockets; ClientSession frames its answers.

#include "FaultPlan.h"
#include "NetworkConfig.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <utility>
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
    // An encoder switched off after a write (fault gone-after-write): it serves no new link.
    bool gone() const { return m_gone; }
    void vanish() { m_gone = true; }
    const tessalin::NetworkConfig &config() const { return m_config; }
    // Called once a write has been stored and read back, before its answer leaves.
    void setStoredHandler(std::function<void()> handler) { m_stored = std::move(handler); }

private:
    QString m_statePath;
    tessalin::NetworkConfig m_config;
    FaultPlan m_faults;
    std::function<void()> m_stored;
    bool m_gone = false;
};

} // namespace pnv::sim
