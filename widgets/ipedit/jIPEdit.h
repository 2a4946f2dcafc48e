#pragma once
// An entry for one IPv4 address that looks and types like one edit box: four
// octet fields (jIPByteEdit) separated by dot labels, read and assigned as a
// dotted text or as an unsigned 32-bit value. Its events carry the control
// itself as their sender, never one of its parts.
//
// Placed in a Designer file as a custom widget:
//   <customwidget><class>jIPEdit</class><extends>QFrame</extends>
//   <header>jIPEdit.h</header></customwidget>
// Store Text as <string notr="true">, or uic moves it into retranslateUi,
// after Value; Text must come first so that Value decides what the fields
// hold. Value may be stored as a signed <number> with the address's bit
// pattern (-1408229887 is 172.16.30.1). After setupUi, call Loaded().

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QString>

#include <array>

class QKeyEvent;
class QLabel;
class jIPByteEdit;

class jIPEdit final : public QFrame
{
    Q_OBJECT
    Q_PROPERTY(TBorderStyle BorderStyle READ BorderStyle WRITE setBorderStyle)
    Q_PROPERTY(QColor Color READ Color WRITE setColor)
    Q_PROPERTY(bool Ctl3D READ Ctl3D WRITE setCtl3D)
    // QWidget::setEnabled writes it: the frame, then field 0, dot 0, field 1
    // and so on, in the order the parts were made.
    Q_PROPERTY(bool Enabled READ Enabled WRITE setEnabled)
    Q_PROPERTY(QFont Font READ Font WRITE setFont)
    Q_PROPERTY(bool ShowHint READ ShowHint WRITE setShowHint)
    Q_PROPERTY(bool TabStop READ TabStop WRITE setTabStop)
    Q_PROPERTY(QString Text READ Text WRITE setText NOTIFY TextChanged)
    Q_PROPERTY(quint32 Value READ Value WRITE setValue NOTIFY ValueChanged USER true)

public:
    enum TBorderStyle { bsNone, bsSingle };
    Q_ENUM(TBorderStyle)

    explicit jIPEdit(QWidget *parent = nullptr);
    // Destroys field i and then dot label i, for i = 0 to 3, before itself.
    ~jIPEdit() override;
    Q_DISABLE_COPY_MOVE(jIPEdit)

    // The end of loading from a Designer file, which Qt does not announce for
    // widgets built by uic: the window calls it once after setupUi. It puts
    // the fields back right behind the control in the tab order (uic's
    // setTabOrder moves the control without its fields) and runs the layout
    // pass. From then on the pass runs on every size change.
    void Loaded();

    TBorderStyle BorderStyle() const { return m_borderStyle; }
    void setBorderStyle(TBorderStyle style);

    // The background of the frame, the fields and the dot labels.
    // Until assigned, the Base colour of the palette around the control.
    QColor Color() const;
    void setColor(const QColor &color);

    // With a single border: a sunken three-dimensional edge, else a plain line.
    bool Ctl3D() const { return m_ctl3D; }
    void setCtl3D(bool ctl3D);

    // The value last assigned with setEnabled(), not QWidget::isEnabled(),
    // which also follows the parents. Assigning greys and locks the eight
    // parts too.
    bool Enabled() const;

    // The fields and dot labels follow the control's font. A new font moves
    // nothing until the next size change.
    QFont Font() const { return font(); }

    // Off after construction. Without it no tool tip shows, neither the
    // control's nor its parts'.
    bool ShowHint() const { return m_showHint; }
    void setShowHint(bool showHint) { m_showHint = showHint; }

    // When true the frame itself is a tab stop just ahead of its fields.
    bool TabStop() const { return focusPolicy() != Qt::NoFocus; }
    void setTabStop(bool tabStop);

    // The four field texts joined by "." unconverted: empty fields give empty
    // pieces, pasted characters pass through.
    QString Text() const;
    // Trims control characters and blanks at both ends, then gives fields 0
    // to 3 in turn the octet text of one piece each; a piece that is not a
    // number empties its field, missing pieces leave their fields alone.
    void setText(const QString &text);

    // Field 0 is the most significant byte. A field that is empty or not a
    // number counts as 0. A number outside 0 to 255 (a typed 999 before the
    // field is left, an assigned -1) counts with its low 8 bits only, so it
    // never spills into the neighbouring bytes.
    quint32 Value() const;
    // 0 empties all four fields; anything else shows every byte, zero bytes
    // as "0". Fields are assigned from 3 down to 0.
    void setValue(quint32 value);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The text of field `index` as the user left it, when the focus leaving
    // it wrapped a number outside 0 to 255 ("300" in a field that now shows
    // 44); empty otherwise. Any later change of the field forgets it, and so
    // does an assignment: only the user's own number counts, never the
    // specified wrap of a Text or Value.
    QString wrappedAsTyped(int index) const { return m_wrappedAsTyped.at(static_cast<std::size_t>(index)); }
    // Once the user has been shown the wrapped numbers, the fields hold what
    // they saw.
    void forgetWrappedAsTyped();

    jIPByteEdit *field(int index) const { return m_fields.at(static_cast<std::size_t>(index)); }
    QLabel *dotLabel(int index) const { return m_dots.at(static_cast<std::size_t>(index)); }

signals:
    void OnChange(QObject *Sender);
    void OnClick(QObject *Sender);
    void OnDblClick(QObject *Sender);
    void OnEnter(QObject *Sender);
    void OnExit(QObject *Sender);
    // Property notifications: once per assignment through Text or Value and
    // once per edit by the user, when the text really changed; for Value only
    // when the number really changed.
    void TextChanged(const QString &text);
    void ValueChanged(quint32 value);

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    static constexpr QSize kConstructedSize{185, 21};

    // Holds the property notifications back while Text or Value assigns the
    // fields one by one, then sends them once.
    class Assignment final {
    public:
        explicit Assignment(jIPEdit &edit);
        ~Assignment();
        Q_DISABLE_COPY_MOVE(Assignment)

    private:
        jIPEdit &m_edit;
        bool m_outermost;
        QString m_textBefore;
    };
    void notifyProperties();

    // True when the key is used up here and the field must not see it.
    bool filterFieldKey(jIPByteEdit &field, QKeyEvent &event);
    void runKeyDownNavigation(jIPByteEdit &field, int key);
    // The character filter for a character typed into a field: true lets it
    // through to the field.
    bool passesCharacterFilter(jIPByteEdit &field, QChar character);
    void advanceOnThirdDigit(jIPByteEdit &field);
    void fieldChanged();
    void partFocusIn();
    void partFocusOut(QWidget *part, Qt::FocusReason reason);
    void fieldClicked();
    void applyFrame();
    void layoutPass();
    void repairTabOrder();
    // Each octet field's accessible name says which octet of which address
    // it holds, after the control's own accessible name.
    void nameFieldsForAccessibility();
    jIPByteEdit *fieldFor(QObject *object) const;
    QLabel *dotLabelFor(QObject *object) const;

    quint32 m_notifiedValue = 0;
    bool m_assigning = false;
    // The field the focus reached by the advance on a third digit, until
    // anything else is typed or clicked there or the focus leaves it.
    jIPByteEdit *m_advancedInto = nullptr;
    bool m_clickSuppressed = false;
    bool m_focusInside = false;
    bool m_ctl3D = true;
    bool m_showHint = false;
    bool m_framePressed = false;
    TBorderStyle m_borderStyle = bsSingle;
    std::array<jIPByteEdit *, 4> m_fields{};
    std::array<QLabel *, 4> m_dots{};
    std::array<QString, 4> m_wrappedAsTyped{};
    bool m_normalising = false;
    QLabel *m_pressedDot = nullptr;
};
