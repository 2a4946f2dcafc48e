#include "SelectAllOnFocus.h"

#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>

namespace pnv {

SelectAllOnFocus::SelectAllOnFocus(QLineEdit *field) : QObject(field)
{
    field->installEventFilter(this);
}

bool SelectAllOnFocus::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::FocusIn)
        return false;
    switch (static_cast<QFocusEvent *>(event)->reason()) {
    case Qt::MouseFocusReason:
    case Qt::ActiveWindowFocusReason:   // the window came back: the field keeps its selection
    case Qt::PopupFocusReason:
        return false;
    default:
        break;
    }
    // The field's own focus handling first (it moves the caret of a masked
    // field), then the selection on top of it.
    watched->removeEventFilter(this);
    QCoreApplication::sendEvent(watched, event);
    watched->installEventFilter(this);
    static_cast<QLineEdit *>(watched)->selectAll();
    return true;
}

} // namespace pnv
