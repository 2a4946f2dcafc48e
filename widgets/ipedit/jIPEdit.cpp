#include "jIPEdit.h"

#include "AddressAccessible.h"
#include "IntConversion.h"
#include "OctetText.h"
#include "TypedKey.h"
#include "jIPByteEdit.h"

#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QResizeEvent>

#include <algorithm>
#include <utility>

using pnv::ipedit::normalisedOctet;
using pnv::ipedit::octetByte;
using pnv::ipedit::octetTextsOfDotted;

namespace {

// Keys that type nothing by themselves; holding one on the way to a "." is
// no other typing.
bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return true;
    default:
        return false;
    }
}

} // namespace

jIPEdit::jIPEdit(QWidget *parent)
    : QFrame(parent)
{
    pnv::ipedit::installAddressAccessibility();
    resize(kConstructedSize);
    applyFrame();
    // The frame and the dots are drawn in the window background colour of
    // the current palette until a colour is assigned, and follow palette
    // and style changes as an edit box does.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::NoFocus);

    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        auto *const field = new jIPByteEdit(this);
        field->setObjectName(QStringLiteral("field%1").arg(i));
        field->setTag(static_cast<int>(i));
        field->installEventFilter(this);
        connect(field, &jIPByteEdit::OnChange, this, [this, i] {
            if (!m_normalising)
                m_wrappedAsTyped[i].clear();
        });
        connect(field, &jIPByteEdit::OnChange, this, &jIPEdit::fieldChanged);
        connect(field, &jIPByteEdit::Edited, this, [this, field] { advanceOnThirdDigit(*field); });
        connect(field, &jIPByteEdit::OnClick, this, &jIPEdit::fieldClicked);
        connect(field, &jIPByteEdit::OnDblClick, this, [this] { emit OnDblClick(this); });
        connect(field, &jIPByteEdit::AddressPasted, this, &jIPEdit::setText);
        connect(field, &jIPByteEdit::FocusEntered, this, &jIPEdit::partFocusIn);
        connect(field, &jIPByteEdit::FocusLeft, this,
                [this, field](QObject *, Qt::FocusReason reason) { partFocusOut(field, reason); });
        m_fields[i] = field;

        auto *const dot = new QLabel(this);
        dot->setObjectName(QStringLiteral("dot%1").arg(i));
        dot->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        dot->setBackgroundRole(QPalette::Base);
        dot->setAutoFillBackground(true);
        dot->installEventFilter(this);
        dot->setText(QStringLiteral("."));
        dot->adjustSize();
        m_dots[i] = dot;
    }
    m_dots[3]->setText(QString());
    m_dots[3]->adjustSize();
    m_dots[3]->hide();
}

jIPEdit::~jIPEdit()
{
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        m_fields[i]->removeEventFilter(this);
        delete std::exchange(m_fields[i], nullptr);
        m_dots[i]->removeEventFilter(this);
        delete std::exchange(m_dots[i], nullptr);
    }
}

void jIPEdit::Loaded()
{
    repairTabOrder();
    nameFieldsForAccessibility();
    layoutPass();
}

void jIPEdit::nameFieldsForAccessibility()
{
    const QString name = accessibleName();
    for (std::size_t i = 0; i < m_fields.size(); ++i) {
        m_fields[i]->setAccessibleName(pnv::ipedit::octetAccessibleName(name, static_cast<int>(i)));
        m_fields[i]->setAccessibleDescription(pnv::ipedit::octetAccessibleDescription(name, static_cast<int>(i)));
    }
}

void jIPEdit::setBorderStyle(TBorderStyle style)
{
    m_borderStyle = style;
    applyFrame();
}

void jIPEdit::setCtl3D(bool ctl3D)
{
    m_ctl3D = ctl3D;
    applyFrame();
}

void jIPEdit::applyFrame()
{
    if (m_borderStyle == bsNone) {
        setFrameStyle(QFrame::NoFrame);
    } else if (m_ctl3D) {
        setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    } else {
        setFrameStyle(QFrame::Box | QFrame::Plain);
        setLineWidth(1);
    }
}

QColor jIPEdit::Color() const
{
    return palette().color(QPalette::Base);
}

void jIPEdit::setColor(const QColor &color)
{
    // Only this role becomes the control's own; the parts inherit it and
    // every other role still follows the palette around it.
    QPalette own;
    own.setColor(QPalette::Base, color);
    setPalette(own);
}

bool jIPEdit::Enabled() const
{
    // Set by setEnabled(false) alone, not by a disabled parent.
    return !testAttribute(Qt::WA_ForceDisabled);
}

void jIPEdit::setTabStop(bool tabStop)
{
    setFocusPolicy(tabStop ? Qt::TabFocus : Qt::NoFocus);
}

QString jIPEdit::Text() const
{
    return m_fields[0]->text() + u'.' + m_fields[1]->text() + u'.' + m_fields[2]->text() + u'.'
        + m_fields[3]->text();
}

void jIPEdit::setText(const QString &text)
{
    const QStringList octets = octetTextsOfDotted(text);
    const Assignment assignment(*this);
    for (qsizetype i = 0; i < octets.size(); ++i)
        m_fields[static_cast<std::size_t>(i)]->assignText(octets[i]);
}

// The property notifications of an assignment wait for its end, so that
// setValue(10.0.0.1) announces 10.0.0.1 once and never 0.0.0.1 on the way;
// OnChange still fires for each field as it changes.
jIPEdit::Assignment::Assignment(jIPEdit &edit)
    : m_edit(edit), m_outermost(!std::exchange(edit.m_assigning, true)), m_textBefore(edit.Text())
{
}

jIPEdit::Assignment::~Assignment()
{
    if (!m_outermost)
        return;
    m_edit.m_assigning = false;
    if (m_edit.Text() != m_textBefore)
        m_edit.notifyProperties();
}

void jIPEdit::notifyProperties()
{
    emit TextChanged(Text());
    if (const quint32 value = Value(); value != m_notifiedValue) {
        m_notifiedValue = value;
        emit ValueChanged(value);
    }
}

quint32 jIPEdit::Value() const
{
    quint32 value = 0;
    for (const jIPByteEdit *field : m_fields)
        value = (value << 8) | octetByte(field->text());
    return value;
}

QSize jIPEdit::minimumSizeHint() const
{
    // What the layout pass grows the control to: four fields as wide as
    // "000" and three dots, one text line high, inside the frame.
    const int frame = width() - contentsRect().width();
    const QFontMetrics metrics(font());
    return {frame + 4 * metrics.horizontalAdvance(QStringLiteral("000")) + 3 * m_dots[0]->width(),
            frame + metrics.height()};
}

QSize jIPEdit::sizeHint() const
{
    return minimumSizeHint().expandedTo(kConstructedSize);
}

void jIPEdit::fieldChanged()
{
    pnv::ipedit::announceAddressValue(*this);
    emit OnChange(this);
    if (!m_assigning)
        notifyProperties();
}

void jIPEdit::setValue(quint32 value)
{
    const bool empties = value == 0;
    const Assignment assignment(*this);
    for (std::size_t i = m_fields.size(); i-- > 0;) {
        m_fields[i]->assignText(empties ? QString() : QString::number(value & 0xFFu));
        value >>= 8;
    }
}

// Each field's keys come here before the field sees them: first the key-down
// navigation, which never consumes a key (the key still gets the ordinary
// handling of the field it was pressed in, even when the focus has moved
// on), then the character filter, which may discard the typed character.
bool jIPEdit::filterFieldKey(jIPByteEdit &field, QKeyEvent &event)
{
    runKeyDownNavigation(field, event.key());
    const pnv::TypedKey typed = pnv::typedKey(event);
    const bool confirmsAdvance = typed.kind == pnv::TypedKey::Character && typed.character == u'.'
        && m_advancedInto == &field;
    if (!isModifierKey(event.key()))
        m_advancedInto = nullptr;
    if (confirmsAdvance)
        return true;
    return typed.kind == pnv::TypedKey::Character && !passesCharacterFilter(field, typed.character);
}

void jIPEdit::runKeyDownNavigation(jIPByteEdit &field, int key)
{
    const int index = field.Tag();
    switch (key) {
    case Qt::Key_Backspace:
        if (!field.hasSelectedText() && field.cursorPosition() == 0 && index >= 1) {
            jIPByteEdit *const previous = m_fields[static_cast<std::size_t>(index - 1)];
            previous->setFocus(Qt::OtherFocusReason);
            previous->setCursorPosition(previous->text().size());
            // Queued, so it is handled after this key, exactly as if the
            // user had pressed Backspace there: it deletes the last character.
            if (!previous->text().isEmpty())
                QCoreApplication::postEvent(previous, new QKeyEvent(QEvent::KeyPress, Qt::Key_Backspace,
                                                                    Qt::NoModifier, QStringLiteral("\b")));
        }
        break;
    case Qt::Key_End: {
        jIPByteEdit *const last = m_fields[3];
        last->setFocus(Qt::OtherFocusReason);
        last->setCursorPosition(last->text().size());
        break;
    }
    case Qt::Key_Home: {
        jIPByteEdit *const first = m_fields[0];
        first->setFocus(Qt::OtherFocusReason);
        first->setCursorPosition(0);
        break;
    }
    case Qt::Key_Left:
        if (field.selStart() == 0 && index >= 1)
            m_fields[static_cast<std::size_t>(index - 1)]->setFocus(Qt::OtherFocusReason);
        break;
    case Qt::Key_Right:
        if (field.selStart() == field.text().size() && index <= 2)
            m_fields[static_cast<std::size_t>(index + 1)]->setFocus(Qt::OtherFocusReason);
        break;
    default:
        break;
    }
}

// After the user's own change of a field, once OnChange has fired. Qt leaves
// the caret at the end of an assigned text while it reports the change; an
// assignment is no edit, so it never advances.
void jIPEdit::advanceOnThirdDigit(jIPByteEdit &field)
{
    const int index = field.Tag();
    if (index > 2 || field.text().size() != 3 || field.selStart() != field.text().size())
        return;
    jIPByteEdit *const next = m_fields[static_cast<std::size_t>(index + 1)];
    next->setFocus(Qt::OtherFocusReason);
    next->selectAll();
    // Whoever types an address types its dots too: the dot that follows
    // three digits confirms this advance instead of moving on once more.
    m_advancedInto = next;
}

bool jIPEdit::passesCharacterFilter(jIPByteEdit &field, QChar character)
{
    const char16_t c = character.unicode();
    if (c == u'\b' || pnv::isDecimalDigit(character))
        return true;
    if (c == u'.' && field.Tag() <= 2) {
        m_clickSuppressed = true;
        jIPByteEdit *const next = m_fields[static_cast<std::size_t>(field.Tag() + 1)];
        next->setFocus(Qt::OtherFocusReason);
        next->selectAll();
    }
    return false;
}

void jIPEdit::partFocusIn()
{
    if (m_focusInside)
        return;
    m_focusInside = true;
    // Whichever part the focus was bound for, it arrives in field 0, with the
    // caret and selection that field last had.
    m_fields[0]->setFocus(Qt::OtherFocusReason);
    emit OnEnter(this);
}

void jIPEdit::partFocusOut(QWidget *part, Qt::FocusReason reason)
{
    // A deactivated window or an opened context menu takes the focus only
    // for a while; that is no move to another control.
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)
        return;
    if (auto *const field = qobject_cast<jIPByteEdit *>(part)) {
        if (field == m_advancedInto)
            m_advancedInto = nullptr;
        if (const std::optional<QString> repaired = normalisedOctet(field->text())) {
            const QString typed = field->text();
            const bool outOfRange = !pnv::ipedit::isOctetInRange(typed);
            m_normalising = true;
            field->assignText(*repaired);
            m_normalising = false;
            if (outOfRange)
                m_wrappedAsTyped[static_cast<std::size_t>(field->Tag())] = typed;
        }
    }
    QWidget *const now = QApplication::focusWidget();
    if (now && (now == this || isAncestorOf(now)))
        return;
    m_focusInside = false;
    emit OnExit(this);
}

void jIPEdit::forgetWrappedAsTyped()
{
    for (QString &typed : m_wrappedAsTyped)
        typed.clear();
}

void jIPEdit::fieldClicked()
{
    if (std::exchange(m_clickSuppressed, false))
        return;
    emit OnClick(this);
}

void jIPEdit::repairTabOrder()
{
    if (focusPolicy() != Qt::NoFocus)
        QWidget::setTabOrder(this, m_fields[0]);
    for (std::size_t i = 1; i < m_fields.size(); ++i)
        QWidget::setTabOrder(m_fields[i - 1], m_fields[i]);
}

void jIPEdit::layoutPass()
{
    const int frame = width() - contentsRect().width();
    const QFontMetrics metrics(font());
    const int minimumFieldWidth = metrics.horizontalAdvance(QStringLiteral("000"));
    const int fieldHeight = metrics.height();
    const int dotWidth = m_dots[0]->width();

    const int fieldWidth = std::max((width() - frame - 3 * dotWidth) / 4, minimumFieldWidth);

    // Grow first in height, then in width; each growth is a size change that
    // runs the pass again. A hidden control hears of its size change only
    // when shown, so it runs the pass again at once.
    const QSize before = size();
    if (height() < fieldHeight + frame) {
        resize(width(), fieldHeight + frame);
    } else if (width() < frame + 4 * fieldWidth + 3 * dotWidth) {
        resize(frame + 4 * fieldWidth + 3 * dotWidth, height());
    } else {
        const QRect client = contentsRect();
        const int top = client.top() + (client.height() - fieldHeight) / 2;
        for (std::size_t i = 0; i < m_fields.size(); ++i) {
            const int left = client.left() + static_cast<int>(i) * (fieldWidth + dotWidth);
            m_fields[i]->setGeometry(left, top, fieldWidth, fieldHeight);
            m_dots[i]->setGeometry(left + fieldWidth, top, m_dots[i]->width(), fieldHeight);
        }
        return;
    }
    if (size() != before && testAttribute(Qt::WA_PendingResizeEvent))
        layoutPass();
}

namespace {

// The part of `parts` that `object` is, or null (also while parts are being destroyed).
template <typename Part>
Part *partFor(const std::array<Part *, 4> &parts, QObject *object)
{
    const auto found = std::find(parts.begin(), parts.end(), object);
    return found != parts.end() ? *found : nullptr;
}

} // namespace

jIPByteEdit *jIPEdit::fieldFor(QObject *object) const { return partFor(m_fields, object); }

QLabel *jIPEdit::dotLabelFor(QObject *object) const { return partFor(m_dots, object); }

bool jIPEdit::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip && !m_showHint)
        return true;
    // Qt tells a widget nothing when its accessible name is set; by its first
    // show the name it was given is final.
    if (event->type() == QEvent::Polish)
        nameFieldsForAccessibility();
    return QFrame::event(event);
}

bool jIPEdit::eventFilter(QObject *watched, QEvent *event)
{
    if (jIPByteEdit *const field = fieldFor(watched)) {
        if (event->type() == QEvent::KeyPress)
            return filterFieldKey(*field, *static_cast<QKeyEvent *>(event));
        // A click in the field puts the caret where the user wants it: a
        // "." typed then moves on as usual.
        if (event->type() == QEvent::MouseButtonPress)
            m_advancedInto = nullptr;
        return false;
    }
    QLabel *const dot = dotLabelFor(watched);
    if (!dot)
        return QFrame::eventFilter(watched, event);
    const auto isLeftButton = [event] { return static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton; };
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (!isLeftButton())
            return false;
        m_pressedDot = dot->isEnabled() ? dot : nullptr;
        return true;
    case QEvent::MouseButtonRelease: {
        if (!isLeftButton())
            return false;
        const bool clicked = std::exchange(m_pressedDot, nullptr) == dot
            && dot->rect().contains(static_cast<QMouseEvent *>(event)->position().toPoint());
        // A dot label's click is never suppressed and leaves a pending
        // suppression for the next octet field click.
        if (clicked && dot->isEnabled())
            emit OnClick(this);
        return true;
    }
    case QEvent::MouseButtonDblClick:
        if (!isLeftButton())
            return false;
        m_pressedDot = nullptr;
        if (dot->isEnabled())
            emit OnDblClick(this);
        return true;
    default:
        return false;
    }
}

void jIPEdit::changeEvent(QEvent *event)
{
    // The dot labels size themselves to their text in the new font; by the
    // time the control hears of it, its parts have taken the font.
    if (event->type() == QEvent::FontChange) {
        for (QLabel *dot : m_dots)
            dot->adjustSize();
    }
    QFrame::changeEvent(event);
}

void jIPEdit::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    layoutPass();
}

void jIPEdit::focusInEvent(QFocusEvent *event)
{
    QFrame::focusInEvent(event);
    partFocusIn();
}

void jIPEdit::focusOutEvent(QFocusEvent *event)
{
    QFrame::focusOutEvent(event);
    partFocusOut(this, event->reason());
}

void jIPEdit::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        m_framePressed = true;
    QFrame::mousePressEvent(event);
}

void jIPEdit::mouseReleaseEvent(QMouseEvent *event)
{
    QFrame::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    if (std::exchange(m_framePressed, false) && rect().contains(event->position().toPoint()))
        emit OnClick(this);
}

void jIPEdit::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QFrame::mouseDoubleClickEvent(event);
        return;
    }
    m_framePressed = false;
    emit OnDblClick(this);
}
