#pragma once
// A shown, active window holding one jIPEdit between two plain line edits,
// driven the way a user drives it: keys go to whatever has the focus, and
// the control's events are counted as they come.

#include "jIPByteEdit.h"
#include "jIPEdit.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

namespace pnv::test {

class IPEditWindow
{
public:
    explicit IPEditWindow(bool tabStop = true)
    {
        window.setObjectName(QStringLiteral("window"));
        window.resize(420, 80);
        before->setObjectName(QStringLiteral("before"));
        before->setGeometry(10, 10, 60, 24);
        edit->setObjectName(QStringLiteral("edit"));
        edit->setGeometry(80, 10, 185, 24);
        edit->setTabStop(tabStop);
        after->setObjectName(QStringLiteral("after"));
        after->setGeometry(280, 10, 60, 24);
        edit->Loaded();
    }

    // Shows the window and puts the focus on the line edit before the control.
    [[nodiscard]] bool show()
    {
        window.show();
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        before->setFocus(Qt::OtherFocusReason);
        resetCounts();
        return QApplication::focusWidget() == before;
    }

    void resetCounts()
    {
        changes.clear();
        clicks.clear();
        doubleClicks.clear();
        enters.clear();
        exits.clear();
    }

    // "before", "after", "edit" (the frame itself) or "field0" to "field3".
    static QString focusName()
    {
        const QWidget *focus = QApplication::focusWidget();
        return focus ? focus->objectName() : QStringLiteral("<none>");
    }

    QStringList fieldTexts() const
    {
        QStringList texts;
        for (int i = 0; i < 4; ++i)
            texts << edit->field(i)->text();
        return texts;
    }

    // Types each character of a script into whatever has the focus at that
    // moment, as a keyboard does. {Name} stands for a key that types no
    // character: {BS}, {Del}, {Home}, {End}, {Left}, {Right}, {Tab}, {BTab},
    // {Return}, {Ins}; a prefix S-, C- or A- holds Shift, Ctrl or Alt, as in
    // {S-End} or {C-V}.
    static void type(const QString &script)
    {
        for (qsizetype i = 0; i < script.size(); ++i) {
            if (script[i] != u'{') {
                QTest::keyClick(QApplication::focusWidget(), script[i].toLatin1());
                deliverQueuedKeys();
                continue;
            }
            const qsizetype close = script.indexOf(u'}', i);
            QString name = script.mid(i + 1, close - i - 1);
            i = close;
            Qt::KeyboardModifiers modifiers;
            while (name.size() > 2 && name[1] == u'-') {
                modifiers |= name[0] == u'S' ? Qt::ShiftModifier
                    : name[0] == u'C'        ? Qt::ControlModifier
                                             : Qt::AltModifier;
                name = name.mid(2);
            }
            QTest::keyClick(QApplication::focusWidget(), namedKey(name), modifiers);
            deliverQueuedKeys();
        }
    }

    QWidget window;
    QLineEdit *before = new QLineEdit(&window);
    jIPEdit *edit = new jIPEdit(&window);
    QLineEdit *after = new QLineEdit(&window);
    QSignalSpy changes{edit, &jIPEdit::OnChange};
    QSignalSpy clicks{edit, &jIPEdit::OnClick};
    QSignalSpy doubleClicks{edit, &jIPEdit::OnDblClick};
    QSignalSpy enters{edit, &jIPEdit::OnEnter};
    QSignalSpy exits{edit, &jIPEdit::OnExit};

private:
    // A key queued while handling one key is handled before the next key
    // comes from the keyboard.
    static void deliverQueuedKeys() { QCoreApplication::sendPostedEvents(); }

    static Qt::Key namedKey(const QString &name)
    {
        static const QList<QPair<QString, Qt::Key>> keys = {
            {QStringLiteral("BS"), Qt::Key_Backspace}, {QStringLiteral("Del"), Qt::Key_Delete},
            {QStringLiteral("Home"), Qt::Key_Home},    {QStringLiteral("End"), Qt::Key_End},
            {QStringLiteral("Left"), Qt::Key_Left},    {QStringLiteral("Right"), Qt::Key_Right},
            {QStringLiteral("Tab"), Qt::Key_Tab},      {QStringLiteral("BTab"), Qt::Key_Backtab},
            {QStringLiteral("Return"), Qt::Key_Return}, {QStringLiteral("Ins"), Qt::Key_Insert},
        };
        for (const auto &[keyName, key] : keys) {
            if (keyName == name)
                return key;
        }
        if (name.size() == 1 && name[0].isLetter())
            return static_cast<Qt::Key>(Qt::Key_A + (name[0].toUpper().unicode() - u'A'));
        qFatal("unknown key name in a test script: %s", qPrintable(name));
    }
};

} // namespace pnv::test
