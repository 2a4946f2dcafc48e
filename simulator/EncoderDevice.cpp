#include "EncoderDevice.h"

#include "ConfigRules.h"
#include "StateFile.h"

#include <utility>

namespace pnv::sim {
namespace {

constexpr std::uint8_t kSuccess = 0;

EncoderDevice::Answer statusOnly(int status, QString note)
{
    return {{static_cast<std::uint8_t>(status)}, std::move(note)};
}

} // namespace

EncoderDevice::EncoderDevice(QString statePath, const tessalin::NetworkConfig &config, FaultPlan faults)
    : m_statePath(std::move(statePath)), m_config(config), m_faults(std::move(faults))
{
}

EncoderDevice::Answer EncoderDevice::read()
{
    if (m_faults.nextReadStatus) {
        const int status = *std::exchange(m_faults.nextReadStatus, std::nullopt);
        return statusOnly(status, QStringLiteral("status %1 (fault)").arg(status));
    }
    Answer answer{{kSuccess}, QStringLiteral("status 0")};
    const auto record = m_config.replyBytes();
    answer.payload.insert(answer.payload.end(), record.begin(), record.end());
    return answer;
}

EncoderDevice::Answer EncoderDevice::write(const std::uint8_t *request20)
{
    if (m_faults.nextWriteStatus) {
        const int status = *std::exchange(m_faults.nextWriteStatus, std::nullopt);
        return statusOnly(status, QStringLiteral("status %1 (fault), nothing stored").arg(status));
    }
    tessalin::NetworkConfig wanted = m_config;
    wanted.assignRequest(request20);
    const std::string reason = rejectionReason(wanted);
    if (!reason.empty())
        return statusOnly(TESSALIN_VERIFY_ERROR, QStringLiteral("status 4, refused: %1").arg(QString::fromStdString(reason)));

    Answer answer{{kSuccess}, {}};
    if (m_faults.verifyFail) {
        auto echoed = wanted.requestBytes();
        echoed.back() ^= 0x01;   // as if one flash cell did not take the new value
        answer.payload.insert(answer.payload.end(), echoed.begin(), echoed.end());
        answer.note = QStringLiteral("status 0, read-back differs (fault), nothing stored");
        return answer;
    }
    if (m_faults.loseWrite) {
        // As if the flash took nothing: the echo is sound, the storage is not.
        const auto echoed = wanted.requestBytes();
        answer.payload.insert(answer.payload.end(), echoed.begin(), echoed.end());
        answer.note = QStringLiteral("status 0, echoed, nothing stored (fault)");
        return answer;
    }
    if (const QString error = saveState(m_statePath, wanted); !error.isEmpty())
        return statusOnly(TESSALIN_VERIFY_ERROR, QStringLiteral("status 4, not stored: %1").arg(error));
    const StateLoad stored = loadState(m_statePath);
    if (!stored.config || *stored.config != wanted)
        return statusOnly(TESSALIN_VERIFY_ERROR, QStringLiteral("status 4, read-back failed: %1").arg(stored.error));
    m_config = *stored.config;
    if (m_stored)
        m_stored();
    const auto record = m_config.requestBytes();
    answer.payload.insert(answer.payload.end(), record.begin(), record.end());
    answer.note = QStringLiteral("status 0, stored %1:%2 mask %3 gateway %4 (applies at the next start)")
                      .arg(formatOctets(m_config.address))
                      .arg(m_config.port)
                      .arg(formatOctets(m_config.mask), formatOctets(m_config.gateway));
    return answer;
}

} // namespace pnv::sim
