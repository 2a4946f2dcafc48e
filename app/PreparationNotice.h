#pragma once
// A slow first step of the device library, such as a Wine prefix being made
// for the maker's DLL, shown while it lasts as a modal progress dialog with
// one line of explanation: otherwise the window would only wait, busy and
// silent, for many seconds. Callable from any thread, also from within a call
// of the library; the dialog lives on the window's thread. Before the
// application object exists, nothing is shown.

#include <QString>

namespace pnv {

void preparationStarted(const QString &line);
void preparationEnded();

} // namespace pnv
