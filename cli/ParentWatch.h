#pragma once
// A program that starts pnv3400ctl and may be ended without warning (an
// Ansible module whose task times out) names itself in PNV3400CTL_PARENT_PID;
// pnv3400ctl then takes that process's end for a SIGTERM: a long command
// starts no new row, and the rows under way finish.

namespace pnv::ctl {

// Reads and clears PNV3400CTL_PARENT_PID (workers must not inherit it: their
// parent is this process). When the process it names is no longer this one's
// parent, it is gone already and SIGTERM is raised at once.
void endWithNamedParent();

} // namespace pnv::ctl
