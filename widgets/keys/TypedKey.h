#pragma once
// What a key types into a single-line edit field, judged as a classic edit
// control judges it, whatever the platform put into the key event's text.
// The character filters of the fields see exactly these characters.

#include <QChar>

class QKeyEvent;

namespace pnv {

struct TypedKey {
    enum Kind {
        // Types nothing: editing and navigation keys (Delete, arrows, Home,
        // Shift+Insert, ...) that go straight to the field's own handling.
        NoCharacter,
        // Types `character`, which the field's filter may discard.
        Character,
        // Not for the field at all (Enter, Escape, Alt chords): left to the
        // window, as dialog keys and menu keys are.
        NotForTheField,
    };
    Kind kind = NoCharacter;
    QChar character;
};

// Backspace types 8. Ctrl with a letter or one of @ [ \ ] ^ _ types that
// control character (Ctrl+V is 22), and Ctrl+Backspace types DEL (0x7F), all
// for the filters to discard. Delete types nothing on every platform, even
// where its event carries DEL as text.
TypedKey typedKey(const QKeyEvent &event);

} // namespace pnv
