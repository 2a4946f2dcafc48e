#pragma once
// An icon read from a PNG file only when someone first asks for its pixels.
// Under X the window manager asks for the window icon as the window is
// mapped; the offscreen platform never does, and a program that only starts
// and quits there should not pay for decoding it.

#include <QIcon>
#include <QString>

namespace pnv {

QIcon deferredPngIcon(const QString &path);

} // namespace pnv
