#pragma once
// The rows of pnv3400ctl's commands. Each is built in its command's own file,
// with its handler, arguments, options and help; the handler itself is not
// seen outside that file.

#include "CommandTable.h"

namespace pnv::ctl::commands {

Command readCommand();     // ReadSave.cpp
Command saveCommand();
Command writeCommand();    // Write.cpp
Command loadCommand();
Command checkCommand();    // Check.cpp
Command scanCommand();     // Scan.cpp
Command probeCommand();
Command applyCommand();    // Apply.cpp
Command doctorCommand();   // Doctor.cpp
Command serveCommand();    // Serve.cpp

} // namespace pnv::ctl::commands
