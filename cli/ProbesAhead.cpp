#include "ProbesAhead.h"

#include <QMetaObject>

#include <algorithm>

namespace pnv::ctl {
namespace {

constexpr std::size_t kMaximumWindow = 1024;
// Where the window starts: what a few workers against the simulator write in
// one probe bound. Slower writers shrink it after their first stale look.
constexpr std::size_t kFirstWindow = 128;
constexpr double kProbeSeconds = net::kProbeWaitMs / 1000.0;

} // namespace

ProbesAhead::ProbesAhead(std::vector<std::optional<net::ProbeTarget>> targets, int jobs, QObject *context,
                         std::function<void()> ready)
    : m_targets(std::move(targets)), m_slots(m_targets.size()), m_context(context), m_ready(std::move(ready)),
      m_minimumWindow(std::size_t(std::max(1, jobs)) * 2)
{
    m_window = std::max(m_minimumWindow, kFirstWindow);
    m_pacedAt = Clock::now();
    m_thread = std::thread([this] { probeLoop(); });
}

ProbesAhead::~ProbesAhead()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

std::optional<ProbesAhead::Look> ProbesAhead::take(std::size_t row, bool *wait)
{
    *wait = false;
    if (row >= m_targets.size() || !m_targets[row])
        return std::nullopt;
    std::unique_lock lock(m_mutex);
    m_taken = std::max(m_taken, row + 1);
    Slot &slot = m_slots[row];
    if (slot.probe) {
        const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - slot.at).count();
        if (age <= kFreshLookMs)
            return Look{*m_targets[row], *slot.probe};
        // Looked at too early: the rows run slower than the looks. This row
        // and every later one are looked at again, and less far ahead.
        if (m_resizedAt != m_batchesDone)
            m_window = std::max(m_minimumWindow, m_window / 2);
        m_resizedAt = m_batchesDone;
        slot.probe.reset();
        m_cursor = std::min(m_cursor, row);
    } else if (m_resizedAt != m_batchesDone) {
        // A writer waits for its look: look further ahead (once a batch, as
        // every waiting writer says the same), but no further than the rows
        // started in two probe bounds, past which looks go stale unused.
        m_window = std::min({kMaximumWindow, m_window * 2, std::max(m_minimumWindow, m_aheadLimit)});
        m_resizedAt = m_batchesDone;
    }
    lock.unlock();
    m_wake.notify_all();
    *wait = true;
    return std::nullopt;
}

std::vector<std::size_t> ProbesAhead::nextBatch()
{
    std::vector<std::size_t> batch;
    const std::size_t until = std::min(m_targets.size(), m_taken + m_window);
    for (; m_cursor < until && batch.size() < kMaximumWindow; ++m_cursor)
        if (m_targets[m_cursor]) {
            m_slots[m_cursor].queued = true;
            batch.push_back(m_cursor);
        }
    return batch;
}

void ProbesAhead::probeLoop()
{
    for (;;) {
        std::vector<std::size_t> batch;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] {
                return m_stopping || (m_cursor < m_targets.size() && m_cursor < m_taken + m_window);
            });
            if (m_stopping)
                return;
            batch = nextBatch();
        }
        if (batch.empty())
            continue;
        std::vector<net::ProbeTarget> targets;
        targets.reserve(batch.size());
        for (const std::size_t row : batch)
            targets.push_back(*m_targets[row]);
        const std::vector<net::AddressProbe> probes = net::probeAddresses(targets);
        const Clock::time_point done = Clock::now();
        {
            const std::lock_guard lock(m_mutex);
            for (std::size_t i = 0; i < batch.size(); ++i) {
                Slot &slot = m_slots[batch[i]];
                slot.probe = probes[i];
                slot.at = done;
                slot.queued = false;
            }
            ++m_batchesDone;
            // The pace of the writers, smoothed: how many rows they start in two probe bounds.
            const double seconds = std::chrono::duration<double>(done - m_pacedAt).count();
            if (seconds > 0 && m_batchesDone > 1) {
                const double perBound = double(m_taken - m_pacedTaken) / seconds * 2 * kProbeSeconds;
                m_pace = m_pace > 0 ? (m_pace + perBound) / 2 : perBound;
                m_aheadLimit = std::size_t(m_pace);
            }
            m_pacedAt = done;
            m_pacedTaken = m_taken;
        }
        QMetaObject::invokeMethod(m_context, m_ready, Qt::QueuedConnection);
    }
}

} // namespace pnv::ctl
