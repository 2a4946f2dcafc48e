#pragma once
// Key-press hooks for plain edit fields: the hook sees each typed character
// before the field takes it and discards it by replacing it with NUL.

#include <QObject>
#include <functional>
#include <optional>

class QKeyEvent;

namespace pnv {

// The character a key event types, as a classic edit field would receive it:
// Backspace is 8, Enter 13, Escape 27, and Ctrl with a letter gives the
// control character of that letter (Ctrl+V is 22). Keys that type nothing
// (arrows, Delete, Home, Tab and the like) give none.
std::optional<QChar> typedCharacter(const QKeyEvent &event);

using KeyPressHandler = std::function<void(QObject *Sender, QChar &Key)>;

class KeyPressHook final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KeyPressHook)
public:
    // Installs itself on `field`, which also owns it.
    KeyPressHook(QObject *field, KeyPressHandler handler);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    KeyPressHandler m_handler;
};

} // namespace pnv
