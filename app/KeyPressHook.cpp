#include "KeyPressHook.h"

#include "TypedKey.h"

#include <QKeyEvent>

namespace pnv {

KeyPressHook::KeyPressHook(QObject *field, KeyPressHandler handler)
    : QObject(field), m_handler(std::move(handler))
{
    field->installEventFilter(this);
}

bool KeyPressHook::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    auto *const keyEvent = static_cast<QKeyEvent *>(event);
    const TypedKey typed = typedKey(*keyEvent);
    switch (typed.kind) {
    case TypedKey::NoCharacter:
        return false;
    case TypedKey::NotForTheField:
        // Ignored and filtered out, so that it goes on to the parents.
        keyEvent->ignore();
        return true;
    case TypedKey::Character:
        break;
    }
    QChar key = typed.character;
    m_handler(watched, key);
    // Our handlers only pass or discard; a key is never replaced by another.
    return key.isNull();
}

} // namespace pnv
