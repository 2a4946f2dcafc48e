#include "CallFailure.h"

#include "tessalin_bridge.h"

#include <mutex>

namespace pnv::winebridge {
namespace {
std::mutex g_lock;
int g_kind = TESSALIN_BRIDGE_FAILURE_NONE;
std::string g_text;
} // namespace

void clearLastFailure()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_kind = TESSALIN_BRIDGE_FAILURE_NONE;
    g_text.clear();
}

void recordFailure(int kind, const std::string &text)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_kind = kind;
    g_text = text;
}

int lastFailure(std::string &text)
{
    std::lock_guard<std::mutex> lock(g_lock);
    text = g_text;
    return g_kind;
}

} // namespace pnv::winebridge
