#pragma once
// What a vendor's DLL shows or overrides that the host must see: its message
// boxes and dialogs during a call (said to the bridge, which waits for the
// user instead of ending the call, and names them where the user looks; with
// no display, what the box would have said), and its own unhandled-exception
// filter (run first, ours staying on top, so that a crash is reported and
// Wine's crash dialog never appears).

#include <windows.h>

#include <functional>
#include <string>

namespace pnv::winehost {

// Called on the thread that shows or closes it: `shown` with "title: text",
// or false once none is left shown.
void onVendorWindow(std::function<void(bool shown, const std::string &text)> notice);
// Takes over MessageBox* and SetUnhandledExceptionFilter in the import tables
// of `dll` and the DLLs in its folder that are loaded now; again after each
// call once user32.dll is in (what it loaded meanwhile).
void patchVendorImports(HMODULE dll);
// Once user32.dll is in: watches the windows the loading thread activates
// (a dialog of the DLL's own) and destroys.
void watchVendorDialogs();
// The filter the DLL set for itself, or null; our own filter runs it first.
LPTOP_LEVEL_EXCEPTION_FILTER vendorExceptionFilter();
// One the DLL set before its imports were taken over (in DllMain).
void keepVendorExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

} // namespace pnv::winehost
