#include "jIPByteEdit.h"

#include "IntConversion.h"
#include "OctetText.h"
#include "TypedKey.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QScopedValueRollback>

#include <utility>

namespace {

Qt::Alignment qtAlignment(jIPByteEdit::TAlignment alignment)
{
    switch (alignment) {
    case jIPByteEdit::taLeftJustify:
        return Qt::AlignLeft | Qt::AlignVCenter;
    case jIPByteEdit::taRightJustify:
        return Qt::AlignRight | Qt::AlignVCenter;
    case jIPByteEdit::taCenter:
        break;
    }
    return Qt::AlignHCenter | Qt::AlignVCenter;
}

// QLineEdit names its menu's Paste "edit-paste" from Qt 6.5 on; before, it
// is known by its caption, which Qt translates.
QAction *pasteAction(const QMenu &menu)
{
    const QString caption = QCoreApplication::translate("QLineEdit", "&Paste");
    const QList<QAction *> actions = menu.actions();
    for (QAction *action : actions) {
        if (action->objectName() == QLatin1String("edit-paste"))
            return action;
    }
    for (QAction *action : actions) {
        if (action->text() == caption || action->text().startsWith(caption + u'\t'))
            return action;
    }
    return nullptr;
}


} // namespace

jIPByteEdit::jIPByteEdit(QWidget *parent)
    : QLineEdit(parent)
{
    QLineEdit::setAlignment(qtAlignment(m_alignment));
    setFrame(false);
    setText(QStringLiteral("0"));
    // Every character must pass the key filter, and composed input would
    // slip past it; dropped text would slip past the length limit.
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setAcceptDrops(false);
    // textEdited comes before textChanged and only for the user's edits, so
    // the advance can tell typing from an assignment.
    connect(this, &QLineEdit::textEdited, this, [this] { m_changeIsAnEdit = true; });
    connect(this, &QLineEdit::textChanged, this, &jIPByteEdit::textHasChanged);
}

jIPByteEdit::~jIPByteEdit() = default;

void jIPByteEdit::setAlignment(TAlignment alignment)
{
    if (alignment == m_alignment)
        return;
    m_alignment = alignment;
    QLineEdit::setAlignment(qtAlignment(alignment));
}

void jIPByteEdit::assignText(const QString &text)
{
    if (text == this->text())
        return;
    setText(text);
    setCursorPosition(0);
}

int jIPByteEdit::selStart() const
{
    return hasSelectedText() ? selectionStart() : cursorPosition();
}

// The address control has seen the key first (its navigation and its
// character filter); what reaches here is this field's to handle.
void jIPByteEdit::keyPressEvent(QKeyEvent *event)
{
    const pnv::TypedKey typed = pnv::typedKey(*event);
    switch (typed.kind) {
    case pnv::TypedKey::NoCharacter:
        if (event->matches(QKeySequence::Paste)) {
            // Shift+Insert: a paste that types nothing, held to the limit
            // like every paste. Ctrl+V types a character and never gets here.
            insertWithinLimit(QGuiApplication::clipboard()->text());
            return;
        }
        handleAsOrdinaryKey(event);
        return;
    case pnv::TypedKey::NotForTheField:
        // Left to the window, as dialog keys and menu keys are.
        event->ignore();
        return;
    case pnv::TypedKey::Character:
        break;
    }
    if (pnv::isDecimalDigit(typed.character) && !hasRoomForTypedCharacter())
        return;
    handleAsOrdinaryKey(event);
}

void jIPByteEdit::handleAsOrdinaryKey(QKeyEvent *event)
{
    QLineEdit::keyPressEvent(event);
    // A key that moved the focus to another field is still handled here; a
    // selection it makes would have QLineEdit draw a steady caret in this
    // field beside the one in the field that has the focus. The field's own
    // leaving takes the caret down again (and keeps the selection).
    if (!hasFocus()) {
        QFocusEvent stillLeft(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QLineEdit::focusOutEvent(&stillLeft);
    }
}

void jIPByteEdit::textHasChanged()
{
    const bool edited = std::exchange(m_changeIsAnEdit, false);
    emit OnChange(this);
    if (edited)
        emit Edited(this);
}

bool jIPByteEdit::hasRoomForTypedCharacter() const
{
    return text().size() - selectedText().size() < TypedLengthLimit;
}

void jIPByteEdit::insertWithinLimit(const QString &pasted)
{
    if (isReadOnly())
        return;
    if (pnv::ipedit::isWholeDottedAddress(pasted)) {
        emit AddressPasted(pasted.trimmed());
        return;
    }
    // A single-line field takes the first line of a pasted text, and no more
    // of it than the limit leaves room for; a field already at or over the
    // limit (an assigned "-255") takes nothing.
    const qsizetype room = TypedLengthLimit - (text().size() - selectedText().size());
    if (room <= 0)
        return;
    qsizetype lineEnd = pasted.indexOf(u'\n');
    const qsizetype carriageReturn = pasted.indexOf(u'\r');
    if (carriageReturn >= 0 && (lineEnd < 0 || carriageReturn < lineEnd))
        lineEnd = carriageReturn;
    const QString piece = pasted.left(lineEnd < 0 ? pasted.size() : lineEnd).left(room);
    if (piece.isEmpty() && !hasSelectedText())
        return;
    insert(piece);
}

void jIPByteEdit::showSelection(bool shown)
{
    // The field keeps its caret and selection while another field has the
    // focus (QLineEdit would drop the selection), but shows no selection then:
    // selected text drawn as the rest, in the palette's current text colour.
    m_selectionHidden = !shown;
    const QScopedValueRollback applying(m_applyingOwnPalette, true);
    if (shown) {
        setPalette(QPalette());
        return;
    }
    QPalette hidden;
    hidden.setBrush(QPalette::Highlight, Qt::transparent);
    hidden.setBrush(QPalette::HighlightedText, palette().brush(QPalette::Text));
    setPalette(hidden);
}

void jIPByteEdit::changeEvent(QEvent *event)
{
    QLineEdit::changeEvent(event);
    // A new palette around the field (a switch to a dark theme) brings a new
    // text colour, which the hidden selection must take too.
    if (event->type() == QEvent::PaletteChange && m_selectionHidden && !m_applyingOwnPalette)
        showSelection(false);
}

void jIPByteEdit::focusInEvent(QFocusEvent *event)
{
    const Qt::FocusReason reason = event->reason();
    // QLineEdit selects its whole text when Tab brings the focus; these
    // fields never select on focus.
    if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason || reason == Qt::ShortcutFocusReason) {
        QFocusEvent withoutSelecting(event->type(), Qt::OtherFocusReason);
        QLineEdit::focusInEvent(&withoutSelecting);
    } else {
        QLineEdit::focusInEvent(event);
    }
    showSelection(true);
    emit FocusEntered(this);
}

void jIPByteEdit::focusOutEvent(QFocusEvent *event)
{
    const Qt::FocusReason reason = event->reason();
    if (reason == Qt::PopupFocusReason) {
        QLineEdit::focusOutEvent(event);
    } else {
        // A reason that keeps QLineEdit from dropping the selection.
        QFocusEvent keepingSelection(event->type(), Qt::ActiveWindowFocusReason);
        QLineEdit::focusOutEvent(&keepingSelection);
        showSelection(false);
    }
    emit FocusLeft(this, reason);
}

void jIPByteEdit::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        m_leftButtonPressed = true;
    QLineEdit::mousePressEvent(event);
}

void jIPByteEdit::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::MiddleButton) {
        // The X11 selection paste, held to the same limit as any paste.
        QClipboard *const clipboard = QGuiApplication::clipboard();
        if (clipboard->supportsSelection() && !isReadOnly()) {
            deselect();
            insertWithinLimit(clipboard->text(QClipboard::Selection));
        }
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    const bool clicked = std::exchange(m_leftButtonPressed, false);
    if (clicked && rect().contains(event->position().toPoint()))
        emit OnClick(this);
}

void jIPByteEdit::mouseDoubleClickEvent(QMouseEvent *event)
{
    QLineEdit::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    // The release that ends a double-click is no click of its own.
    m_leftButtonPressed = false;
    emit OnDblClick(this);
}

void jIPByteEdit::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *const menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // The menu's Paste is held to the limit like any paste.
    if (QAction *const paste = pasteAction(*menu)) {
        paste->disconnect(this);
        connect(paste, &QAction::triggered, this, [this] { insertWithinLimit(QGuiApplication::clipboard()->text()); });
    }
    menu->popup(event->globalPos());
}
