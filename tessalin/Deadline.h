#pragma once
// One deadline per entry point: every wait inside a call takes what is left of it.

#include <chrono>
#include <cstdint>

namespace tessalin {

class Deadline final {
public:
    explicit Deadline(std::chrono::milliseconds budget) : m_end(std::chrono::steady_clock::now() + budget) {}

    // Milliseconds left, rounded up so that a wait never ends just before the deadline.
    int remainingMs() const
    {
        const auto left = m_end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return 0;
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
    bool expired() const { return std::chrono::steady_clock::now() >= m_end; }

private:
    std::chrono::steady_clock::time_point m_end;
};

// The call budget: 3 s, or less when TESSALIN_TIMEOUT_MS holds 1 to 3000.
std::chrono::milliseconds callBudget();

} // namespace tessalin
