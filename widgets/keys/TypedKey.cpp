#include "TypedKey.h"

#include <QKeyEvent>

namespace pnv {

TypedKey typedKey(const QKeyEvent &event)
{
    const Qt::KeyboardModifiers chord =
        event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const int key = event.key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return {};   // focus navigation, never typed
    if (chord == Qt::ControlModifier) {
        if (key == Qt::Key_Backspace)
            return {TypedKey::Character, QChar(0x7F)};
        if (key >= Qt::Key_At && key <= Qt::Key_Underscore)
            return {TypedKey::Character, QChar(char16_t(key - Qt::Key_At))};
        return {};
    }
    if (chord == Qt::AltModifier || chord == Qt::MetaModifier)
        return event.text().isEmpty() ? TypedKey{} : TypedKey{TypedKey::NotForTheField, {}};
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape)
        return {TypedKey::NotForTheField, {}};
    if (key == Qt::Key_Backspace)
        return {TypedKey::Character, QChar(8)};
    // Under X11 Delete carries DEL as its text; it is an editing key all the same.
    if (key == Qt::Key_Delete || event.text().isEmpty())
        return {};
    return {TypedKey::Character, event.text().front()};
}

} // namespace pnv
