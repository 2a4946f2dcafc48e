#include "KeyPressHook.h"

#include <QKeyEvent>

namespace pnv {

std::optional<QChar> typedCharacter(const QKeyEvent &event)
{
    const auto mods = event.modifiers();
    const int key = event.key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return std::nullopt;   // focus navigation, never typed
    if (key == Qt::Key_Backspace)
        return QChar(8);
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        return QChar(13);
    if (key == Qt::Key_Escape)
        return QChar(27);
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        return QChar(char16_t(key - Qt::Key_A + 1));
    const QString text = event.text();
    if (text.isEmpty() || (mods & (Qt::ControlModifier | Qt::AltModifier)))
        return std::nullopt;
    return text.front();
}

KeyPressHook::KeyPressHook(QObject *field, KeyPressHandler handler)
    : QObject(field), m_handler(std::move(handler))
{
    field->installEventFilter(this);
}

bool KeyPressHook::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto typed = typedCharacter(*static_cast<QKeyEvent *>(event));
    if (!typed)
        return false;
    QChar key = *typed;
    m_handler(watched, key);
    // Our handlers only pass or discard; a key is never replaced by another.
    return key.isNull();
}

} // namespace pnv
