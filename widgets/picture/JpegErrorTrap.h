#pragma once
// libjpeg reports a fatal error by calling error_exit, which must not return.
// We answer it with longjmp back to the C++ caller, which then throws a
// JpegError after destroying the codec object. No C++ exception ever travels
// through libjpeg's C frames, and no C++ object with a destructor lives in the
// frames the jump skips (runTrapped and the step it calls keep none).

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE
#include <jpeglib.h>

namespace pnv {

struct JpegErrorTrap {
    jpeg_error_mgr manager; // first member: libjpeg hands us back this address
    std::jmp_buf jump;
    int messageCode = 0;
};

// Installs the trap as the error manager of a codec object that is about to be
// created: pass the result to cinfo.err before jpeg_create_(de)compress.
// Warnings are fatal too: libjpeg warns when it has to invent data (a file cut
// short, a damaged scan), and such a picture is reported, not drawn with grey
// or garbage in it.
jpeg_error_mgr *installJpegErrorTrap(JpegErrorTrap &trap);

// Runs one step of libjpeg work under the trap. Returns true when the step ran
// to its end; otherwise trap.messageCode holds the code libjpeg failed with.
bool runTrapped(JpegErrorTrap &trap, void (*step)(void *context), void *context);

} // namespace pnv
