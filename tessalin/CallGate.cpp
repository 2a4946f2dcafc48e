#include "CallGate.h"

namespace tessalin {

CallGate::Turn CallGate::enter(Deadline &deadline, std::uint64_t &ticket)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    ticket = m_epoch.load();
    const bool free = m_turn.wait_until(lock, deadline.end(), [&] { return !m_busy || m_epoch.load() != ticket; });
    if (m_epoch.load() != ticket)
        return Turn::Cancelled;
    if (!free)
        return Turn::TimedOut;
    m_busy = true;
    const std::uint64_t mine = ticket;
    deadline.cancelWith(&m_wake, [this, mine] { return m_epoch.load() != mine; });
    return Turn::Granted;
}

bool CallGate::leave(std::uint64_t ticket, const std::function<void()> &closeLink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool cancelled = m_epoch.load() != ticket;
    if (cancelled)
        closeLink();
    m_busy = false;
    m_turn.notify_all();
    return cancelled;
}

void CallGate::disconnect(const std::function<void()> &closeLink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_epoch.fetch_add(1);
    m_wake.raise();
    if (!m_busy)
        closeLink();
    m_turn.notify_all();
}

} // namespace tessalin
