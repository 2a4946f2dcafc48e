#pragma once
// pnv3400ctl commission PLAN: gives a site's factory-reset encoders their
// addresses one after another, as the installer connects each alone at the
// factory address, keeping a journal so that an interruption never gives one
// address twice.

#include "CommandTable.h"

namespace pnv::ctl {

// The command's row in pnv3400ctl's table.
Command commissionCommand();

} // namespace pnv::ctl
