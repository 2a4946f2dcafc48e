#include "JpegErrorTrap.h"

namespace pnv {
namespace {

extern "C" void leaveOnError(j_common_ptr cinfo)
{
    auto *trap = reinterpret_cast<JpegErrorTrap *>(cinfo->err);
    trap->messageCode = cinfo->err->msg_code;
    std::longjmp(trap->jump, 1);
}

// msg_level -1 is a warning; 0 and up are trace messages, which we drop
// instead of letting libjpeg print them on stderr.
extern "C" void leaveOnWarning(j_common_ptr cinfo, int msgLevel)
{
    if (msgLevel < 0)
        leaveOnError(cinfo);
}

extern "C" void printNothing(j_common_ptr) {}

} // namespace

jpeg_error_mgr *installJpegErrorTrap(JpegErrorTrap &trap)
{
    jpeg_error_mgr *manager = jpeg_std_error(&trap.manager);
    manager->error_exit = leaveOnError;
    manager->emit_message = leaveOnWarning;
    manager->output_message = printNothing;
    trap.messageCode = 0;
    return manager;
}

bool runTrapped(JpegErrorTrap &trap, void (*step)(void *context), void *context)
{
    if (setjmp(trap.jump) != 0)
        return false;
    step(context);
    return true;
}

} // namespace pnv
