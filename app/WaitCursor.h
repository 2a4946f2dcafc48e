#pragma once
// A call of the device library, made as the window makes it: under the wait
// cursor, on a thread of its own while the window goes on repainting, with
// every keystroke and click meant for the program's windows meanwhile thrown
// away rather than queued. The handler that made the call goes on only once
// the call has returned, so the calls keep their order and their number.

#include <QCursor>
#include <QGuiApplication>

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace pnv {

class WaitCursor final {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// Runs `call` on a thread of its own and returns when it has; meanwhile the
// calling thread handles every event but user input, which it drops, and a
// request to close a window, which it refuses. An exception of `call` is
// thrown again here.
void runWhileResponsive(const std::function<void()> &call);

// Runs a call of the device library under the wait cursor; returns what it returns.
template <typename Call>
auto whileWaiting(Call &&call)
{
    const WaitCursor busy;
    using Result = std::invoke_result_t<Call &>;
    if constexpr (std::is_void_v<Result>) {
        runWhileResponsive([&call] { call(); });
    } else {
        std::optional<Result> result;
        runWhileResponsive([&call, &result] { result.emplace(call()); });
        return std::move(*result);
    }
}

} // namespace pnv
