#pragma once
// Lets one call at a time use the link, whatever the number of calling
// threads, without letting waits add up: a call waits for its turn only until
// its own deadline, and a disconnect never waits at all. It ends every call
// that began before it: the one using the link wakes from its wait through
// the wake-up, the ones still waiting for their turn give up.

#include "Deadline.h"
#include "Platform.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tessalin {

class CallGate final {
public:
    CallGate() = default;
    CallGate(const CallGate &) = delete;
    CallGate &operator=(const CallGate &) = delete;

    enum class Turn { Granted, TimedOut, Cancelled };

    // Waits for the link until the deadline; on Granted the caller owns the
    // link until leave(), and `deadline` also ends when a disconnect comes.
    Turn enter(Deadline &deadline, std::uint64_t &ticket);
    // Gives the link back. True when a disconnect came during the call; then
    // `closeLink` has run before anyone else could take the link.
    bool leave(std::uint64_t ticket, const std::function<void()> &closeLink);
    // Ends every call in progress. `closeLink` runs now when no call owns the
    // link, otherwise the owner runs it as it leaves.
    void disconnect(const std::function<void()> &closeLink);

private:
    std::mutex m_mutex;
    std::condition_variable m_turn;
    bool m_busy = false;
    std::atomic<std::uint64_t> m_epoch{0};
    platform::WakeSignal m_wake;
};

} // namespace tessalin
