#pragma once
// The one place where an error that ended a handler is shown: a modal box
// with the error icon, one OK button, the error's message with a closing "."
// and the application's title. Tests replace the presenter.

#include "AppError.h"

#include <functional>

namespace pnv {

using ErrorPresenter = std::function<void(const QString &title, const QString &text)>;

void showErrorBox(const AppError &error);

// Installs a presenter and returns the previous one; an empty one restores the box.
ErrorPresenter setErrorPresenter(ErrorPresenter presenter);

// Runs a handler; an AppError ends it at the point where it was raised and is
// shown in the error box. Exceptions never unwind into Qt's event machinery.
template <typename Handler>
void runHandler(Handler &&handler)
{
    try {
        handler();
    } catch (const AppError &error) {
        showErrorBox(error);
    }
}

} // namespace pnv
