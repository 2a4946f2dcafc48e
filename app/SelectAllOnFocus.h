#pragma once
#include <QObject>

class QLineEdit;

namespace pnv {

// A plain edit field selects all its text whenever it receives the focus
// other than by a mouse click: by Tab, Shift+Tab or the program. Qt does so
// only for Tab, and never for a field with an input mask.
class SelectAllOnFocus final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SelectAllOnFocus)
public:
    // Installs itself on `field`, which also owns it.
    explicit SelectAllOnFocus(QLineEdit *field);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

} // namespace pnv
