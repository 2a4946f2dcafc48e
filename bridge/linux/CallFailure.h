#pragma once
// What the bridge itself knows of the last call that failed in it (not the
// DLL's own answer): which kind of failure (TESSALIN_BRIDGE_FAILURE_*) and a
// line naming the DLL and what happened. One record per program, as the
// calls of a program's window or command come one at a time; every call
// clears it.

#include <string>

namespace pnv::winebridge {

void clearLastFailure();
void recordFailure(int kind, const std::string &text);
// The kind, and the line in `text`.
int lastFailure(std::string &text);

} // namespace pnv::winebridge
