// The window as a user meets it: what it shows at start, where Tab and Enter
// go, how the plain fields take keys, and where every control stands.

#include "ApplicationTitle.h"
#include "ErrorBoxSpy.h"
#include "PreparationNotice.h"
#include "WindowFixture.h"

#include <QAbstractScrollArea>
#include <QAccessible>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include "TImage.h"
#include <QProgressDialog>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QtTest>

#include <future>

using pnv::test::ScriptedLibrary;
using pnv::test::WindowFixture;

namespace {

// The control a focused widget belongs to, counting an address control's
// octet fields as the control itself.
QWidget *entryOf(QWidget *w)
{
    if (w && qobject_cast<jIPEdit *>(w->parentWidget()))
        return w->parentWidget();
    return w;
}

// Presses `key` until the focus has visited `count` controls; returns their names.
QStringList walkFocus(QWidget *window, Qt::Key key, int count)
{
    QStringList visited{entryOf(QApplication::focusWidget())->objectName()};
    for (int presses = 0; visited.size() <= count && presses < 100; ++presses) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window, key);
        const QString name = entryOf(QApplication::focusWidget())->objectName();
        if (name != visited.last())
            visited << name;
    }
    return visited;
}

} // namespace

class TestWindow final : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { m_f.reset(); }

    void startsWithTheDefinitionsValues();
    void applicationTitleFromTheProgramFile_data();
    void applicationTitleFromTheProgramFile();
    void controlsStandWhereTheDefinitionPutsThem_data();
    void controlsStandWhereTheDefinitionPutsThem();
    void tabCyclesThroughTheLinkZoneAndTheFrontPage();
    void shiftTabIntoAnAddressLandsInItsFirstField();
    void enterClicksOnlyTheFocusedButton();
    void escapeDoesNothing();
    void portFieldsTakeDigitsOnlyAndClampTheRange();
    void portFieldsTakeKeyEventsAsAnXServerSendsThem_data();
    void portFieldsTakeKeyEventsAsAnXServerSendsThem();
    void pastedPortTextThatDoesNotConvertShowsTheErrorBox();
    void clickOnASpotThatTakesNoFocusLeavesIt_data();
    void clickOnASpotThatTakesNoFocusLeavesIt();
    void controlsCarryAccessibleNames();
    void macFieldTakesNoTypedCharacter();
    void plainFieldsSelectAllWhenTabbedInto();
    void ctrlTabSwitchesPagesOnlyFromInsideThePageControl();
    void resetPageShowsItsTextsAndChangesNothing();
    void shrinkingMovesOnlyTheStatusBar();
    void scalingMovesEveryControlButTheStatusBar();
    void brokenPictureIsReportedInTheErrorBox_data();
    void brokenPictureIsReportedInTheErrorBox();
    void fitsTheScreenItOpensOn();
    void octetTypedAbove255IsNeverWrittenUnseen();
    void inputDuringACallIsDroppedNotReplayed();
    void slowPreparationShowsAModalProgressDialog();

private:
    QWidget *focused() const { return QApplication::focusWidget(); }
    std::unique_ptr<WindowFixture> m_f;
};

void TestWindow::init()
{
    ScriptedLibrary::reset();
    m_f = std::make_unique<WindowFixture>();
    m_f->window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_f->window.get()));
}

void TestWindow::startsWithTheDefinitionsValues()
{
    auto &f = *m_f;
    QCOMPARE(f.window->windowTitle(), QStringLiteral("PNV-3400 Set-up Utility"));
    QCOMPARE(f.pages()->currentWidget()->objectName(), QStringLiteral("TabSheet2"));
    QCOMPARE(f.pages()->tabText(0), QStringLiteral(" IP Config "));
    QCOMPARE(f.pages()->tabText(1), QStringLiteral("How to reset?"));
    QCOMPARE(f.window->statusLine(), QString());
    QCOMPARE(focused(), static_cast<QWidget *>(f.address("jIPE_ServerIP")->field(0)));
    QCOMPARE(f.address("jIPE_ServerIP")->Text(), QStringLiteral("172.16.30.1"));
    QCOMPARE(f.edit("Edit_ServerPort")->text(), QStringLiteral("3001"));
    QCOMPARE(f.edit("ME_SourceMAC")->text(), QStringLiteral("00 - 00 - 00 - 00 - 00 - 00"));
    QCOMPARE(f.edit("Edit_SourcePort")->text(), QStringLiteral("0"));
    QCOMPARE(f.window->size(), QSize(785, 836));
    QCOMPARE(f.window->pos(), QPoint(226, 114));
    QVERIFY(!(f.window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(f.window->findChild<QStatusBar *>("SB_Main")->height(), 35);
    QCOMPARE(f.window->findChild<QStatusBar *>("SB_Main")->geometry().top(), 801);
    QCOMPARE(f.window->font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(QFontInfo(f.edit("Edit_ServerPort")->font()).family(), QStringLiteral("DejaVu Sans Condensed"));
}

void TestWindow::applicationTitleFromTheProgramFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    QTest::newRow("folder and extension dropped") << "/opt/x/PNV3400SETUP.EXE" << "Pnv3400setup";
    QTest::newRow("everything from the first dot") << "setup.tool.bin" << "setup";
    QTest::newRow("first letter kept as it is") << "pnv3400-setup" << "pnv3400-setup";
    QTest::newRow("mixed case") << "./MyTool" << "Mytool";
}

void TestWindow::applicationTitleFromTheProgramFile()
{
    QFETCH(QString, path);
    QFETCH(QString, title);
    QCOMPARE(pnv::applicationTitleFor(path), title);
}

void TestWindow::controlsStandWhereTheDefinitionPutsThem_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<bool>("sizedToText");
    const auto row = [](const char *name, const char *parent, int x, int y, int w, int h, bool label = false) {
        QTest::newRow(name) << name << parent << QRect(x, y, w, h) << label;
    };
    row("PC_Main", "ClientArea", 8, 136, 769, 665);
    row("GroupBox2", "TabSheet2", 88, 152, 289, 73);
    row("jIPE_SourceIP", "GroupBox2", 56, 24, 185, 33);
    row("GroupBox5", "TabSheet2", 88, 488, 289, 73);
    row("jIPE_Gateway", "GroupBox5", 56, 24, 185, 33);
    row("GroupBox4", "TabSheet2", 88, 376, 289, 73);
    row("jIPE_SubnetMask", "GroupBox4", 56, 24, 185, 33);
    row("GroupBox3", "TabSheet2", 88, 264, 289, 73);
    row("Edit_SourcePort", "GroupBox3", 56, 24, 177, 28);
    row("BT_ConfigRead", "TabSheet2", 472, 200, 201, 65);
    row("BT_ConfigWrite", "TabSheet2", 472, 320, 201, 65);
    row("GroupBox1", "TabSheet2", 88, 40, 281, 73);
    row("ME_SourceMAC", "GroupBox1", 16, 28, 249, 28);
    row("Panel1", "TabSheet1", 8, 8, 745, 209);
    row("Image1", "Panel1", 8, 8, 177, 193);
    row("Label1", "Panel1", 214, 25, 491, 16, true);
    row("Panel2", "TabSheet1", 8, 224, 745, 97);
    row("Label2", "Panel2", 215, 9, 258, 16, true);
    row("Label3", "Panel2", 234, 25, 287, 16, true);
    row("Label4", "Panel2", 236, 40, 432, 16, true);
    row("Label6", "Panel2", 234, 57, 505, 16, true);
    row("Label7", "Panel2", 234, 72, 318, 16, true);
    row("Image2", "Panel2", 8, 8, 177, 65);
    row("Panel3", "TabSheet1", 8, 328, 745, 81);
    row("Image4", "Panel3", 8, 8, 185, 65);
    row("Label8", "Panel3", 218, 25, 263, 16, true);
    row("Panel4", "TabSheet1", 8, 416, 745, 217);
    row("Image3", "Panel4", 32, 8, 126, 201);
    row("Label9", "Panel4", 216, 25, 232, 16, true);
    row("GroupBox21", "ClientArea", 56, 12, 545, 117);
    row("Label24", "GroupBox21", 256, 32, 34, 20, true);
    row("Label5", "GroupBox21", 64, 32, 90, 20, true);
    row("Edit_ServerPort", "GroupBox21", 232, 56, 81, 28);
    row("jIPE_ServerIP", "GroupBox21", 16, 56, 185, 33);
    row("BT_SConnect", "GroupBox21", 344, 16, 185, 41);
    row("BT_Exit", "ClientArea", 631, 40, 129, 57);
    row("BT_SDisconnect", "ClientArea", 400, 80, 185, 41);
}

void TestWindow::controlsStandWhereTheDefinitionPutsThem()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, rect);
    QFETCH(bool, sizedToText);
    // A page's labels take their size as the page is first shown.
    m_f->pages()->setCurrentIndex(1);
    m_f->pages()->setCurrentIndex(0);
    auto *w = m_f->window->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->parentWidget()->objectName(), parent);
    if (!sizedToText) {
        QCOMPARE(w->geometry(), rect);
        return;
    }
    // Labels size themselves to their text in their own font; in the
    // substitute font each text must still fit where the window expects it.
    auto *label = qobject_cast<QLabel *>(w);
    QCOMPARE(w->pos(), rect.topLeft());
    const int textWidth = QFontMetrics(label->font()).horizontalAdvance(label->text());
    QVERIFY2(w->width() >= textWidth && w->width() <= textWidth + 2, qPrintable(QString::number(w->width())));
    QVERIFY2(w->geometry().right() < w->parentWidget()->width() - 1, "text runs past its panel or frame");
}

void TestWindow::tabCyclesThroughTheLinkZoneAndTheFrontPage()
{
    const QStringList ipConfig{"jIPE_ServerIP", "Edit_ServerPort", "BT_SConnect", "BT_SDisconnect",
                               "ME_SourceMAC", "jIPE_SourceIP", "Edit_SourcePort", "jIPE_SubnetMask",
                               "jIPE_Gateway", "BT_ConfigRead", "BT_ConfigWrite", "jIPE_ServerIP"};
    QCOMPARE(walkFocus(m_f->window.get(), Qt::Key_Tab, 11), ipConfig);

    m_f->pages()->setCurrentIndex(1);
    const QStringList linkZoneOnly{"jIPE_ServerIP", "Edit_ServerPort", "BT_SConnect", "BT_SDisconnect",
                                   "jIPE_ServerIP"};
    QCOMPARE(walkFocus(m_f->window.get(), Qt::Key_Tab, 4), linkZoneOnly);
}

void TestWindow::shiftTabIntoAnAddressLandsInItsFirstField()
{
    m_f->edit("Edit_SourcePort")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focused(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(focused(), static_cast<QWidget *>(m_f->address("jIPE_SourceIP")->field(0)));
}

void TestWindow::enterClicksOnlyTheFocusedButton()
{
    auto &f = *m_f;
    f.button("BT_SDisconnect")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focused(), Qt::Key_Return, Qt::ShiftModifier);
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());
    QTest::keyClick(focused(), Qt::Key_Return);
    QCOMPARE(ScriptedLibrary::instance().calls, QStringList{"S_Disconnect"});
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect"));

    f.button("BT_SConnect")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focused(), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(ScriptedLibrary::instance().calls, (QStringList{"S_Disconnect", "S_Connect"}));

    ScriptedLibrary::instance().calls.clear();
    for (QWidget *field : {static_cast<QWidget *>(f.edit("Edit_ServerPort")), static_cast<QWidget *>(f.address("jIPE_ServerIP")->field(2))}) {
        field->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(field, Qt::Key_Return);
    }
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());
    QCOMPARE(f.edit("Edit_ServerPort")->text(), QStringLiteral("3001"));
}

void TestWindow::escapeDoesNothing()
{
    auto &f = *m_f;
    for (const char *name : {"BT_SConnect", "BT_Exit", "Edit_ServerPort", "ME_SourceMAC"}) {
        auto *w = f.window->findChild<QWidget *>(name);
        w->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(w, Qt::Key_Escape);
    }
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());
    QVERIFY(f.window->isVisible());
    QCOMPARE(f.edit("Edit_ServerPort")->text(), QStringLiteral("3001"));
}

void TestWindow::portFieldsTakeDigitsOnlyAndClampTheRange()
{
    for (const char *name : {"Edit_ServerPort", "Edit_SourcePort"}) {
        QLineEdit *port = m_f->edit(name);
        port->setFocus(Qt::MouseFocusReason);
        port->clear();
        QTest::keyClicks(port, QStringLiteral("6553"));
        QTest::keyClick(port, Qt::Key_7);
        QCOMPARE(port->text(), QStringLiteral("65535"));

        port->clear();
        QTest::keyClicks(port, QStringLiteral("1a-+. 2"));
        QCOMPARE(port->text(), QStringLiteral("12"));
        QTest::keyClick(port, Qt::Key_Backspace);
        QCOMPARE(port->text(), QStringLiteral("1"));

        port->clear();
        QTest::keyClicks(port, QStringLiteral("000001"));   // no sixth character
        QCOMPARE(port->text(), QStringLiteral("00000"));
        port->clear();
        QTest::keyClicks(port, QStringLiteral("99999"));
        QCOMPARE(port->text(), QStringLiteral("65535"));

        // The shortcuts arrive as control characters and are discarded.
        port->setText(QStringLiteral("123"));
        port->selectAll();
        QTest::keyClick(port, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(port->text(), QStringLiteral("123"));
    }
}

void TestWindow::portFieldsTakeKeyEventsAsAnXServerSendsThem_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("text");     // what the X server puts into the event
    QTest::addColumn<QString>("result");   // from "3001", caret after the 3

    QTest::newRow("Delete carries DEL and deletes") << int(Qt::Key_Delete) << 0 << "\x7f" << "301";
    QTest::newRow("Ctrl+Backspace types DEL, discarded")
        << int(Qt::Key_Backspace) << int(Qt::ControlModifier) << "\x7f" << "3001";
    QTest::newRow("Backspace deletes") << int(Qt::Key_Backspace) << 0 << "\b" << "001";
    QTest::newRow("Alt with a letter types nothing") << int(Qt::Key_A) << int(Qt::AltModifier) << "a" << "3001";
    QTest::newRow("Shift+Insert pastes") << int(Qt::Key_Insert) << int(Qt::ShiftModifier) << "" << "39001";
}

void TestWindow::portFieldsTakeKeyEventsAsAnXServerSendsThem()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, text);
    QFETCH(QString, result);

    QGuiApplication::clipboard()->setText(QStringLiteral("9"));
    for (const char *name : {"Edit_ServerPort", "Edit_SourcePort"}) {
        QLineEdit *port = m_f->edit(name);
        port->setText(QStringLiteral("3001"));
        port->setFocus(Qt::MouseFocusReason);
        port->setCursorPosition(1);
        QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
        QApplication::sendEvent(port, &press);
        QCOMPARE(port->text(), result);
    }
}

void TestWindow::pastedPortTextThatDoesNotConvertShowsTheErrorBox()
{
    pnv::test::ErrorBoxSpy box;
    QLineEdit *port = m_f->edit("Edit_SourcePort");
    port->setText(QStringLiteral("-70000"));   // negative values are left alone
    QVERIFY(box.texts.isEmpty());
    port->setText(QStringLiteral("7e5"));
    QCOMPARE(box.texts, QStringList{"'7e5' is not a valid integer value."});
    QCOMPARE(port->text(), QStringLiteral("7e5"));
}

void TestWindow::clickOnASpotThatTakesNoFocusLeavesIt_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QPoint>("at");   // in the control

    QTest::newRow("page background") << "TabSheet2" << QPoint(420, 40);
    QTest::newRow("group box frame") << "GroupBox4" << QPoint(3, 40);
    QTest::newRow("dot between two octets") << "dot1" << QPoint(1, 5);
    QTest::newRow("link zone background") << "GroupBox21" << QPoint(230, 100);
    QTest::newRow("status bar") << "SB_Main" << QPoint(300, 17);
}

void TestWindow::clickOnASpotThatTakesNoFocusLeavesIt()
{
    QFETCH(QString, control);
    QFETCH(QPoint, at);
    QLineEdit *port = m_f->edit("Edit_SourcePort");
    port->setFocus(Qt::MouseFocusReason);
    QWidget *spot = control.startsWith(u'd') ? m_f->address("jIPE_Gateway")->dotLabel(1)
                                              : m_f->control(control.toLatin1().constData());

    // Through the window, as the platform delivers a click, so that Qt's
    // focus-on-click runs.
    QTest::mouseClick(m_f->window->windowHandle(), Qt::LeftButton, {}, spot->mapTo(m_f->window.get(), at));
    QCOMPARE(focused(), static_cast<QWidget *>(port));
    QTest::keyClick(focused(), Qt::Key_7);
    QCOMPARE(port->text(), QStringLiteral("07"));
}

void TestWindow::controlsCarryAccessibleNames()
{
    const auto accessible = [](QObject *object) { return QAccessible::queryAccessibleInterface(object); };
    const QList<QPair<const char *, QString>> names{
        {"jIPE_ServerIP", "Encoder IP"},   {"Edit_ServerPort", "Port"},          {"BT_SConnect", "Encoder Connect"},
        {"ME_SourceMAC", "MAC Address"},   {"jIPE_SourceIP", "Encoder IP"},      {"Edit_SourcePort", "Encoder Port"},
        {"jIPE_SubnetMask", "Subnet mask"}, {"jIPE_Gateway", "Default gateWay"}, {"BT_Exit", "Exit"},
    };
    for (const auto &[name, expected] : names)
        QCOMPARE(accessible(m_f->control(name))->text(QAccessible::Name), expected);
    QVERIFY(accessible(m_f->control("jIPE_ServerIP"))->text(QAccessible::Description)
            != accessible(m_f->control("jIPE_SourceIP"))->text(QAccessible::Description));

    jIPEdit *mask = m_f->address("jIPE_SubnetMask");
    QAccessibleInterface *octet = accessible(mask->field(1));
    QCOMPARE(octet->text(QAccessible::Name), QStringLiteral("Subnet mask, octet 2 of 4"));
    QVERIFY(octet->text(QAccessible::Description).contains(QLatin1String("Octet 2 of 4")));
    QCOMPARE(octet->role(), QAccessible::EditableText);

    mask->setText(QStringLiteral("255.255.0.0"));
    QCOMPARE(accessible(mask)->text(QAccessible::Value), QStringLiteral("255.255.0.0"));
    QCOMPARE(accessible(mask)->childCount(), 8);
}

void TestWindow::macFieldTakesNoTypedCharacter()
{
    QLineEdit *mac = m_f->edit("ME_SourceMAC");
    mac->setFocus(Qt::MouseFocusReason);
    mac->setCursorPosition(0);
    QTest::keyClicks(mac, QStringLiteral("aFg9"));
    QTest::keyClick(mac, Qt::Key_Backspace);
    QTest::keyClick(mac, Qt::Key_Delete);
    QCOMPARE(mac->text(), QStringLiteral("00 - 00 - 00 - 00 - 00 - 00"));
    QVERIFY(mac->isReadOnly());
}

void TestWindow::plainFieldsSelectAllWhenTabbedInto()
{
    auto &f = *m_f;
    // From the last octet field of the address (the focus starts in its first).
    QTest::keyClick(focused(), Qt::Key_End);
    QTest::keyClick(focused(), Qt::Key_Tab);
    QCOMPARE(focused(), static_cast<QWidget *>(f.edit("Edit_ServerPort")));
    QCOMPARE(f.edit("Edit_ServerPort")->selectedText(), QStringLiteral("3001"));

    // The masked MAC field too, which Qt itself would not select.
    f.button("BT_SDisconnect")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focused(), Qt::Key_Tab);
    QCOMPARE(focused(), static_cast<QWidget *>(f.edit("ME_SourceMAC")));
    QCOMPARE(f.edit("ME_SourceMAC")->selectedText(), QStringLiteral("00 - 00 - 00 - 00 - 00 - 00"));

    // A mouse click puts the caret where it was clicked and selects nothing.
    f.button("BT_SConnect")->setFocus(Qt::TabFocusReason);
    QTest::mouseClick(f.edit("Edit_SourcePort"), Qt::LeftButton);
    QCOMPARE(focused(), static_cast<QWidget *>(f.edit("Edit_SourcePort")));
    QVERIFY(!f.edit("Edit_SourcePort")->hasSelectedText());
}

void TestWindow::ctrlTabSwitchesPagesOnlyFromInsideThePageControl()
{
    auto &f = *m_f;
    f.edit("Edit_ServerPort")->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(focused(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(f.pages()->currentIndex(), 0);

    f.edit("Edit_SourcePort")->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(focused(), Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(f.pages()->currentIndex(), 1);
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : f.pages(), Qt::Key_Backtab,
                    Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(f.pages()->currentIndex(), 0);
}

void TestWindow::resetPageShowsItsTextsAndChangesNothing()
{
    auto &f = *m_f;
    f.button("BT_SDisconnect")->click();
    const QString status = f.window->statusLine();
    QStringList fieldsBefore;
    for (auto *edit : f.window->findChildren<QLineEdit *>())
        fieldsBefore << edit->text();

    f.pages()->setCurrentIndex(1);
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    const QList<QPair<const char *, QString>> texts{
        {"Label1", "1. Power OFF and remove the screw located at the top to open the case"},
        {"Label2", "2. Turn DIP S/W#1 ON and power ON."},
        {"Label3", "Then, PNV-3400 reset as default settings; "},
        {"Label4", "IP address: 172.16.30.1, IP port: 3001, subnet mask: 255.255.0.0"},
        {"Label6", "* Success : LED \"Red, Green and Yellow\" blinked sequentially + 3 beeps."},
        {"Label7", "* Error : LED \"Yellow\" blinked twice + 2 beeps."},
        {"Label8", "3. Power OFF and turn DIP S/W#1 OFF"},
        {"Label9", "4. Assemble the case and reboot."},
    };
    for (const auto &[name, text] : texts) {
        auto *label = f.control<QLabel>(name);
        QCOMPARE(label->text(), text);
        QVERIFY(label->isVisible());
        QVERIFY(label->font().bold());
        QCOMPARE(label->font().pointSize(), 10);
        QVERIFY(label->autoFillBackground());
    }
    for (auto *w : f.control("TabSheet1")->findChildren<QWidget *>())
        QVERIFY2(w->focusPolicy() == Qt::NoFocus, qPrintable(w->objectName()));

    f.pages()->setCurrentIndex(0);
    QStringList fieldsAfter;
    for (auto *edit : f.window->findChildren<QLineEdit *>())
        fieldsAfter << edit->text();
    QCOMPARE(fieldsAfter, fieldsBefore);
    QCOMPARE(f.window->statusLine(), status);
    QVERIFY(ScriptedLibrary::instance().calls == QStringList{"S_Disconnect"});
}

void TestWindow::shrinkingMovesOnlyTheStatusBar()
{
    auto &f = *m_f;
    const QPoint buttonAt = f.button("BT_ConfigWrite")->mapTo(f.window.get(), QPoint());
    f.window->resize(500, 400);
    QTRY_COMPARE(f.window->size(), QSize(500, 400));
    auto *bar = f.window->findChild<QStatusBar *>("SB_Main");
    QCOMPARE(bar->geometry(), QRect(0, 365, 500, 35));
    QCOMPARE(f.button("BT_ConfigWrite")->mapTo(f.window.get(), QPoint()), buttonAt);
    auto *scroll = f.window->findChild<QAbstractScrollArea *>("ClientScroll");
    QTRY_VERIFY(scroll->horizontalScrollBar()->isVisible());
    QTRY_VERIFY(scroll->verticalScrollBar()->isVisible());
}

void TestWindow::scalingMovesEveryControlButTheStatusBar()
{
    auto &f = *m_f;
    QCOMPARE(f.window->displayScaleFactor(), 1.0);   // the offscreen display is 96 dpi
    f.window->scaleContent(1.25);
    QCOMPARE(f.button("BT_ConfigRead")->geometry(), QRect(590, 250, 251, 81));
    QCOMPARE(f.control("GroupBox21")->geometry(), QRect(70, 15, 681, 146));
    QCOMPARE(f.address("jIPE_ServerIP")->geometry(), QRect(20, 70, 231, 41));
    QCOMPARE(f.control("ClientArea")->size(), QSize(981, 1001));
    auto *bar = f.window->findChild<QStatusBar *>("SB_Main");
    QCOMPARE(bar->height(), 35);
    QCOMPARE(bar->geometry().bottom(), f.window->height() - 1);
}

void TestWindow::brokenPictureIsReportedInTheErrorBox_data()
{
    QTest::addColumn<int>("keep");   // bytes of the real picture kept
    QTest::addColumn<int>("flipAt"); // a byte turned into garbage, or -1
    QTest::newRow("truncated") << 4000 << -1;
    QTest::newRow("corrupt header") << 0 << 2;
}

void TestWindow::brokenPictureIsReportedInTheErrorBox()
{
    QFETCH(int, keep);
    QFETCH(int, flipAt);
    QFile original(QStringLiteral(":/pictures/reset-step1.jpg"));
    QVERIFY(original.open(QIODevice::ReadOnly));
    QByteArray bytes = original.readAll();
    if (keep > 0)
        bytes.truncate(keep);
    if (flipAt >= 0)
        bytes[flipAt] = char(0x00);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("broken.jpg"));
    QFile broken(path);
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write(bytes);
    broken.close();

    pnv::test::ErrorBoxSpy box;
    m_f->control<TImage>("Image1")->setPicture(path);
    m_f->pages()->setCurrentIndex(1);
    QTRY_COMPARE(box.texts.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^JPEG error #\\d+\\.$")).match(box.texts.first()).hasMatch(),
             qPrintable(box.texts.first()));
    QCOMPARE(box.titles.first(), QCoreApplication::applicationName());
    // The window goes on: the other pictures draw and the page still switches.
    m_f->pages()->setCurrentIndex(0);
    m_f->button("BT_SDisconnect")->click();
    QCOMPARE(m_f->window->statusLine(), QStringLiteral(" Server Disconnect"));
    QCOMPARE(box.texts.size(), 1);
}

// Run again by CTest on a laptop's screen and at scale factors 1.5 and 2.
void TestWindow::fitsTheScreenItOpensOn()
{
    auto &f = *m_f;
    const QRect area = f.window->screen()->availableGeometry();
    QVERIFY2(area.contains(f.window->frameGeometry()), "the window reaches past the screen");
    const bool roomForTheStoredPlace = area.contains(QRect(226, 114, 785 + 16, 836 + 64));
    if (roomForTheStoredPlace) {
        QCOMPARE(f.window->size(), QSize(785, 836));
        QCOMPARE(f.window->pos(), QPoint(226, 114));
    }
    const auto onScreen = [](const QWidget *w) { return QRect(w->mapToGlobal(QPoint()), w->size()); };
    auto *bar = f.window->findChild<QStatusBar *>("SB_Main");
    QVERIFY2(area.contains(onScreen(bar)), "the status line is off-screen");
    auto *scroll = f.window->findChild<QScrollArea *>("ClientScroll");
    for (const char *name : {"BT_SConnect", "BT_SDisconnect", "BT_Exit", "BT_ConfigRead", "BT_ConfigWrite"}) {
        QPushButton *button = f.button(name);
        scroll->ensureWidgetVisible(button, 0, 0);
        QVERIFY2(onScreen(scroll->viewport()).contains(onScreen(button)), name);
        QVERIFY2(area.contains(onScreen(button)), name);
    }
    // Only as short as the screen asks: where it is wide enough, the content
    // scrolls one way, not both.
    if (area.width() >= 785 + 64)
        QVERIFY2(!scroll->horizontalScrollBar()->isVisible(), "a horizontal scroll bar on a screen wide enough");
}

// The click on Configuration Write is also the focus change that wraps the
// field: the user has never seen what would be sent.
void TestWindow::octetTypedAbove255IsNeverWrittenUnseen()
{
    auto &f = *m_f;
    f.address("jIPE_SourceIP")->setText(QStringLiteral("10.0.0.50"));
    f.edit("Edit_SourcePort")->setText(QStringLiteral("3001"));
    f.address("jIPE_SubnetMask")->setText(QStringLiteral("255.255.255.0"));
    jIPByteEdit *last = f.address("jIPE_SourceIP")->field(3);
    QTest::mouseClick(last, Qt::LeftButton);
    QTest::keyClick(focused(), Qt::Key_End);
    QCOMPARE(focused(), static_cast<QWidget *>(last));
    QTest::keyClicks(last, QStringLiteral("\b\b300"));
    QCOMPARE(last->text(), QStringLiteral("300"));

    pnv::test::ErrorBoxSpy box;
    QTest::mouseClick(f.button("BT_ConfigWrite"), Qt::LeftButton);
    QCOMPARE(box.texts, QStringList{"Encoder IP, fourth octet: 300 is not a number from 0 to 255."});
    QCOMPARE(box.titles, QStringList{QCoreApplication::applicationName()});
    QCOMPARE(last->text(), QStringLiteral("44"));
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());

    // What the field shows now has been seen: the next click writes it.
    QTest::mouseClick(f.button("BT_ConfigWrite"), Qt::LeftButton);
    QCOMPARE(ScriptedLibrary::instance().calls, QStringList{"ConfigWrite"});
    QCOMPARE(ScriptedLibrary::instance().writtenBuffer.left(4).toHex(' '), QByteArray("0a 00 00 2c"));
}

void TestWindow::inputDuringACallIsDroppedNotReplayed()
{
    auto &f = *m_f;
    auto &lib = ScriptedLibrary::instance();
    f.address("jIPE_SourceIP")->setText(QStringLiteral("10.0.0.50"));
    f.edit("Edit_SourcePort")->setText(QStringLiteral("3001"));
    f.address("jIPE_SubnetMask")->setText(QStringLiteral("255.255.255.0"));
    std::promise<void> userDone;
    std::future<void> released = userDone.get_future();
    lib.whileReading = [&released] { released.wait_for(std::chrono::seconds(20)); };   // bounded if the input never comes
    f.button("BT_SDisconnect")->click();
    // Runs on the window's thread while the read is held.
    QTimer::singleShot(0, f.window.get(), [&] {
        QTest::mouseClick(f.button("BT_ConfigWrite"), Qt::LeftButton);
        QTest::mouseClick(f.button("BT_ConfigRead"), Qt::LeftButton);
        QTest::keyClick(f.edit("Edit_SourcePort"), Qt::Key_9);
        QTest::keyClick(f.button("BT_ConfigRead"), Qt::Key_Return);
        f.window->close();
        userDone.set_value();
    });
    f.button("BT_ConfigRead")->click();
    QCoreApplication::processEvents();
    QCOMPARE(lib.calls, (QStringList{"S_Disconnect", "ConfigRead"}));
    QCOMPARE(f.edit("Edit_SourcePort")->text(), QStringLiteral("3001"));
    QVERIFY(f.window->isVisible());
    QVERIFY(f.window->holdsLibraryReference());
}

// A library that says it first prepares itself (a new Wine prefix) gets a
// modal progress dialog for as long as that Connect runs, shown while the
// call still runs on its own thread; one that does not, gets none.
void TestWindow::slowPreparationShowsAModalProgressDialog()
{
    auto &f = *m_f;
    for (const bool preparing : {true, false}) {
        f.window->setPreparationProbe([preparing] { return preparing; });
        std::promise<void> seen;
        std::future<void> shown = seen.get_future();
        QString shownText;
        bool modal = false, looked = false;
        ScriptedLibrary::instance().whileConnecting = [&] {
            // Bounded if the dialog never comes, and long enough for the
            // window to have shown it where it should.
            shown.wait_for(std::chrono::seconds(preparing ? 20 : 1));
        };
        QTimer look;
        look.setInterval(5);
        connect(&look, &QTimer::timeout, f.window.get(), [&] {
            auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || looked)
                return;
            looked = true;
            shownText = dialog->labelText();
            modal = dialog->windowModality() == Qt::ApplicationModal;
            seen.set_value();
        });
        look.start();
        f.button("BT_SConnect")->click();
        look.stop();
        QCOMPARE(looked, preparing);
        if (preparing) {
            QVERIFY2(shownText.contains(QStringLiteral("first time")), qPrintable(shownText));
            QVERIFY(modal);
        }
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Connect Success "));
    }
}

PNV_WINDOW_TEST_MAIN(TestWindow)

#include "tst_window.moc"
