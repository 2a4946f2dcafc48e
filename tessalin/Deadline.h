#pragma once
// One deadline per entry point, taken at the call's entry: every wait inside
// a call, including the wait for its turn, takes what is left of it. A call
// also ends early when another thread disconnects while it runs.

#include "Platform.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace tessalin {

class Deadline final {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(std::chrono::milliseconds budget) : m_end(Clock::now() + budget) {}

    // Milliseconds left, rounded up so that a wait never ends just before the deadline.
    int remainingMs() const
    {
        const auto left = m_end - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
    bool expired() const { return Clock::now() >= m_end; }
    Clock::time_point end() const { return m_end; }

    // `wake` becomes readable when some call may have been cancelled;
    // `cancelled` tells whether this one was. Waits watch the wake-up too.
    void cancelWith(platform::WakeSignal *wake, std::function<bool()> cancelled)
    {
        m_wake = wake;
        m_cancelled = std::move(cancelled);
    }
    platform::WakeSignal *wake() const { return m_wake; }
    bool cancelled() const { return m_cancelled && m_cancelled(); }

private:
    Clock::time_point m_end;
    platform::WakeSignal *m_wake = nullptr;
    std::function<bool()> m_cancelled;
};

// The call budget: 3 s, or less when TESSALIN_TIMEOUT_MS holds 1 to 3000.
std::chrono::milliseconds callBudget();

// A budget text counts only as plain decimal digits, nothing before or after
// them, from 1 to 3000; anything else gives nothing and the default applies.
std::optional<std::chrono::milliseconds> parseBudgetText(const char *text);

} // namespace tessalin
