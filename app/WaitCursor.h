#pragma once
// The wait cursor over the window while a call of the device library keeps
// it busy: the calls are synchronous and a slow encoder holds the window for
// up to a call's time-out, which the user should see.

#include <QCursor>
#include <QGuiApplication>

namespace pnv {

class WaitCursor final {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// Runs a call of the device library under the wait cursor; returns what it returns.
template <typename Call>
auto whileWaiting(Call &&call)
{
    const WaitCursor busy;
    return call();
}

} // namespace pnv
