#include "Deadline.h"

#include <cstdlib>

namespace tessalin {
namespace {

constexpr std::chrono::milliseconds kMaxBudget{3000};

} // namespace

std::optional<std::chrono::milliseconds> parseBudgetText(const char *text)
{
    if (!text || !*text)
        return std::nullopt;
    long value = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return std::nullopt;
        value = value * 10 + (*c - '0');
        if (value > kMaxBudget.count())
            return std::nullopt;   // also stops long digit strings before they overflow
    }
    if (value < 1)
        return std::nullopt;
    return std::chrono::milliseconds(value);
}

std::chrono::milliseconds callBudget()
{
    return parseBudgetText(std::getenv("TESSALIN_TIMEOUT_MS")).value_or(kMaxBudget);
}

} // namespace tessalin
