#pragma once
// Key-press hooks for plain edit fields: the hook sees each typed character
// before the field takes it and discards it by replacing it with NUL.

#include <QObject>
#include <functional>

namespace pnv {

// The hook sees the characters that pnv::typedKey() says a key types; keys
// that type nothing (arrows, Delete, Home, Shift+Insert) go to the field
// unseen, and keys that are not for the field (Enter, Escape, Alt chords)
// pass on to the window.
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
