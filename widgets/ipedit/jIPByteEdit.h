#pragma once
// One octet field of a jIPEdit. It keeps its own rules (typing and pasting
// stop at three characters, assignments are never cut, a hidden selection
// while another field has the focus) and knows nothing of its owner: the
// jIPEdit filters its keys and listens to its signals, and judges them
// together with its three siblings.

#include <QLineEdit>

class QContextMenuEvent;
class QFocusEvent;
class QKeyEvent;
class QMouseEvent;

class jIPByteEdit final : public QLineEdit
{
    Q_OBJECT
    Q_PROPERTY(TAlignment Alignment READ Alignment WRITE setAlignment)

public:
    enum TAlignment { taLeftJustify, taRightJustify, taCenter };
    Q_ENUM(TAlignment)

    // Typing and pasting stop at this many characters; assigned texts are
    // never cut, which is why QLineEdit's own maxLength is left alone.
    static constexpr int TypedLengthLimit = 3;

    explicit jIPByteEdit(QWidget *parent = nullptr);
    ~jIPByteEdit() override;
    Q_DISABLE_COPY_MOVE(jIPByteEdit)

    TAlignment Alignment() const { return m_alignment; }
    void setAlignment(TAlignment alignment);
    using QLineEdit::setAlignment;

    // The field's index within its jIPEdit, 0 to 3.
    int Tag() const { return m_tag; }
    void setTag(int tag) { m_tag = tag; }

    // The program's way to put a text into the field: never cut, never an
    // advance, and afterwards the caret at 0 with nothing selected. The
    // current text again is no assignment at all: caret and selection stay.
    void assignText(const QString &text);

    // Where the selection starts, or the caret when nothing is selected.
    int selStart() const;

signals:
    void OnChange(QObject *Sender);
    // Right after OnChange, when the change was the user's typing, deleting
    // or pasting rather than an assignment.
    void Edited(QObject *Sender);
    void OnClick(QObject *Sender);
    void OnDblClick(QObject *Sender);
    // A pasted text that is a whole dotted address, trimmed; it is not put
    // into the field, the owner assigns it to all four.
    void AddressPasted(const QString &address);
    // After the field's own focus handling.
    void FocusEntered(QObject *Sender);
    void FocusLeft(QObject *Sender, Qt::FocusReason reason);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void handleAsOrdinaryKey(QKeyEvent *event);
    void textHasChanged();
    bool hasRoomForTypedCharacter() const;
    void insertWithinLimit(const QString &pasted);
    void showSelection(bool shown);

    TAlignment m_alignment = taCenter;
    int m_tag = 0;
    bool m_changeIsAnEdit = false;
    bool m_leftButtonPressed = false;
    bool m_selectionHidden = false;
    bool m_applyingOwnPalette = false;
};
