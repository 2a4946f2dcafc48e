// Keys, focus moves and clicks as a user makes them, with the control's
// events counted after each step.

#include "IPEditWindow.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QtTest>

using pnv::test::IPEditWindow;

class IPEditInputTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void keyScripts_data();
    void keyScripts();
    void changeIsReportedBeforeTheAdvance();
    void leftKeepsThePreviousFieldsCaret();

    void leavingAFieldNormalisesIt_data();
    void leavingAFieldNormalisesIt();
    void exitComesAfterTheNormalisation();

    void tabbingInAndOutCountsOneEntryAndOneExit_data();
    void tabbingInAndOutCountsOneEntryAndOneExit();
    void clickingIntoAFieldFromOutsideLandsInFieldZero();
    void entryKeepsFieldZerosSelection();
    void switchingWindowsIsNoExitAndNoEntry();

    void typedDotSuppressesOneFieldClick();
    void dotInLastFieldSuppressesNothing();
    void doubleClicksCountOnceEach();

    void clipboardKeysThatTypeNothing_data();
    void clipboardKeysThatTypeNothing();
    void keyThatMovesTheFocusAwayLeavesNoCaret_data();
    void keyThatMovesTheFocusAwayLeavesNoCaret();

    void contextMenuPasteIsHeldToThreeCharacters_data();
    void contextMenuPasteIsHeldToThreeCharacters();
    void disabledControlTakesNoInput();
    void colourReachesEveryPartThroughFocusChanges();
    void followsASwitchToADarkPalette();
    void destroyingTheFocusedControlIsQuiet_data();
    void destroyingTheFocusedControlIsQuiet();
};

void IPEditInputTest::init()
{
    QGuiApplication::clipboard()->setText(QStringLiteral("77"));
}

// Focus goes into field `start` by keyboard (Tab from the neighbour, then
// Tab along the fields) and its caret is put at `caret` (-1: at the end,
// -2: whole text selected), as a user would with the mouse.
static void enterField(IPEditWindow &w, int start, int caret)
{
    IPEditWindow::type(QStringLiteral("{Tab}"));
    for (int i = 0; i < start; ++i)
        IPEditWindow::type(QStringLiteral("{Tab}"));
    jIPByteEdit *field = w.edit->field(start);
    if (caret == -2)
        field->selectAll();
    else
        field->setCursorPosition(caret == -1 ? field->text().size() : caret);
    w.resetCounts();
}

void IPEditInputTest::keyScripts_data()
{
    QTest::addColumn<QString>("assigned");    // through Text; "-" assigns Value 0
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<int>("changes");

    QTest::newRow("third digit advances, leaving wraps 300")
        << "-" << 0 << 0 << "300" << QStringList{"44", "", "", ""} << "field1" << "" << 4;
    QTest::newRow("whole address typed straight through")
        << "-" << 0 << 0 << "192168001010" << QStringList{"192", "168", "1", "010"} << "field3" << "" << 13;
    QTest::newRow("advance selects the next field")
        << "5.6.7.8" << 0 << -2 << "123" << QStringList{"123", "6", "7", "8"} << "field1" << "6" << 3;
    QTest::newRow("typed dot moves on and selects")
        << "0.77.0.0" << 0 << -2 << "1." << QStringList{"1", "77", "0", "0"} << "field1" << "77" << 1;
    QTest::newRow("a dot after three digits confirms the advance")
        << "-" << 0 << 0 << "255.255.255.0" << QStringList{"255", "255", "255", "0"} << "field3" << "" << 10;
    QTest::newRow("a second dot after an advance moves on")
        << "-" << 0 << 0 << "123..4" << QStringList{"123", "", "4", ""} << "field2" << "" << 4;
    QTest::newRow("a dot after a digit typed past an advance moves on")
        << "0.0.0.0" << 0 << -2 << "1235.9" << QStringList{"123", "5", "9", "0"} << "field2" << "" << 5;
    QTest::newRow("dot in the last field is only discarded")
        << "1.2.3.4" << 3 << -1 << "." << QStringList{"1", "2", "3", "4"} << "field3" << "" << 0;
    QTest::newRow("everything but digits is discarded")
        << "-" << 0 << 0 << "a -+x9{Return}" << QStringList{"9", "", "", ""} << "field0" << "" << 1;
    QTest::newRow("typing stops at three characters")
        << "1.2.3.123" << 3 << -1 << "4" << QStringList{"1", "2", "3", "123"} << "field3" << "" << 0;
    QTest::newRow("an assigned text over the limit takes no typing")
        << "-255.1.2.3" << 0 << -1 << "9" << QStringList{"-255", "1", "2", "3"} << "field0" << "" << 0;
    QTest::newRow("control-character shortcuts do nothing")
        << "5.1.2.3" << 0 << -1 << "{C-V}{C-X}{C-A}{C-C}{C-Z}" << QStringList{"5", "1", "2", "3"}
        << "field0" << "" << 0;
    QTest::newRow("undo after typing does nothing")
        << "-" << 0 << 0 << "5{C-Z}" << QStringList{"5", "", "", ""} << "field0" << "" << 1;
    QTest::newRow("backspace at the start deletes the previous field's last character")
        << "10.16.30.1" << 2 << 0 << "{BS}" << QStringList{"10", "1", "30", "1"} << "field1" << "" << 1;
    QTest::newRow("backspace at the start of an empty previous field deletes nothing")
        << "10..30.1" << 2 << 0 << "{BS}" << QStringList{"10", "", "30", "1"} << "field1" << "" << 0;
    QTest::newRow("backspace with Ctrl still crosses, deletes only there")
        << "10.16.30.1" << 2 << 0 << "{C-BS}" << QStringList{"10", "1", "30", "1"} << "field1" << "" << 1;
    QTest::newRow("backspace at the start of field 0 does nothing")
        << "10.16.30.1" << 0 << 0 << "{BS}" << QStringList{"10", "16", "30", "1"} << "field0" << "" << 0;
    QTest::newRow("backspace over a selection starting at 0 stays")
        << "10.16.30.1" << 2 << -2 << "{BS}" << QStringList{"10", "16", "", "1"} << "field2" << "" << 1;
    QTest::newRow("repeated backspace empties field after field")
        << "1.23.4.5" << 2 << -1 << "{BS}{BS}{BS}" << QStringList{"1", "", "", "5"} << "field1" << "" << 3;
    QTest::newRow("right in an empty field crosses")
        << "1..3.4" << 1 << 0 << "{Right}" << QStringList{"1", "", "3", "4"} << "field2" << "" << 0;
    QTest::newRow("right before the end stays")
        << "1.23.3.4" << 1 << 1 << "{Right}" << QStringList{"1", "23", "3", "4"} << "field1" << "" << 0;
    QTest::newRow("left at the start crosses")
        << "1.23.3.4" << 1 << 0 << "{Left}" << QStringList{"1", "23", "3", "4"} << "field0" << "" << 0;
    QTest::newRow("left in field 0 stays")
        << "1.23.3.4" << 0 << 0 << "{Left}" << QStringList{"1", "23", "3", "4"} << "field0" << "" << 0;
    QTest::newRow("home from the last field")
        << "1.2.3.45" << 3 << -1 << "{Home}9" << QStringList{"91", "2", "3", "45"} << "field0" << "" << 1;
    QTest::newRow("shift end from the first field lands at the end of field 3")
        << "1.2.3.45" << 0 << 0 << "{S-End}6" << QStringList{"1", "2", "3", "456"} << "field3" << "" << 1;
    QTest::newRow("delete removes the character after the caret")
        << "12.2.3.4" << 0 << 0 << "{Del}" << QStringList{"2", "2", "3", "4"} << "field0" << "" << 1;
}

void IPEditInputTest::keyScripts()
{
    QFETCH(QString, assigned);
    QFETCH(int, start);
    QFETCH(int, caret);
    QFETCH(QString, script);
    QFETCH(QStringList, texts);
    QFETCH(QString, focus);
    QFETCH(QString, selected);
    QFETCH(int, changes);

    IPEditWindow w;
    if (assigned == QLatin1String("-"))
        w.edit->setValue(0);
    else
        w.edit->setText(assigned);
    QVERIFY(w.show());
    enterField(w, start, caret);

    IPEditWindow::type(script);

    // A crossing Backspace queues one more key for the previous field.
    QTRY_COMPARE(w.fieldTexts(), texts);
    QCOMPARE(IPEditWindow::focusName(), focus);
    QCOMPARE(qobject_cast<QLineEdit *>(QApplication::focusWidget())->selectedText(), selected);
    QCOMPARE(w.changes.count(), changes);
    QCOMPARE(w.enters.count(), 0);
    QCOMPARE(w.exits.count(), 0);
}

void IPEditInputTest::changeIsReportedBeforeTheAdvance()
{
    IPEditWindow w;
    w.edit->setValue(0);
    QVERIFY(w.show());
    QStringList seen;
    QObject::connect(w.edit, &jIPEdit::OnChange, w.edit, [&seen](QObject *sender) {
        auto *edit = qobject_cast<jIPEdit *>(sender);
        QVERIFY(edit);
        seen << edit->Text() + u' ' + IPEditWindow::focusName();
    });

    IPEditWindow::type(QStringLiteral("{Tab}255"));

    QCOMPARE(seen, (QStringList{"2... field0", "25... field0", "255... field0"}));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field1"));
}

void IPEditInputTest::leftKeepsThePreviousFieldsCaret()
{
    IPEditWindow w;
    w.edit->setText(QStringLiteral("123.45.6.7"));
    QVERIFY(w.show());
    enterField(w, 0, 1);
    IPEditWindow::type(QStringLiteral("{Tab}"));
    w.edit->field(1)->selectAll();

    IPEditWindow::type(QStringLiteral("{Left}"));

    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field0"));
    QCOMPARE(w.edit->field(0)->cursorPosition(), 1);
    QVERIFY(!w.edit->field(0)->hasSelectedText());
}

void IPEditInputTest::leavingAFieldNormalisesIt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("normalised");

    QTest::newRow("leading zeros") << "007" << "7";
    QTest::newRow("over 255 wraps") << "300" << "44";
    QTest::newRow("256 is 0") << "256" << "0";
    QTest::newRow("negative keeps its sign") << "-300" << "-44";
    QTest::newRow("-1 stays") << "-1" << "-1";
    QTest::newRow("blank before digits") << " 5" << "5";
    QTest::newRow("hexadecimal") << "$1F" << "31";
    QTest::newRow("blank after digits is no number") << "5 " << "5 ";
    QTest::newRow("blanks only") << "   " << "   ";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("pasted letters") << "ab" << "ab";
}

void IPEditInputTest::leavingAFieldNormalisesIt()
{
    QFETCH(QString, text);
    QFETCH(QString, normalised);

    IPEditWindow w;
    w.edit->setValue(0);
    QVERIFY(w.show());
    enterField(w, 1, 0);
    // Text that got in untyped, the way a paste does, without the advance.
    w.edit->field(1)->setText(text);
    w.resetCounts();

    IPEditWindow::type(QStringLiteral("{Tab}"));

    QCOMPARE(w.edit->field(1)->text(), normalised);
    QCOMPARE(w.changes.count(), text == normalised ? 0 : 1);
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field2"));
}

void IPEditInputTest::exitComesAfterTheNormalisation()
{
    IPEditWindow w;
    w.edit->setValue(0);
    QVERIFY(w.show());
    QString textAtExit;
    QObject::connect(w.edit, &jIPEdit::OnExit, w.edit,
                     [&] { textAtExit = w.edit->Text() + u' ' + IPEditWindow::focusName(); });

    IPEditWindow::type(QStringLiteral("{Tab}{End}007{Tab}"));

    QCOMPARE(textAtExit, QStringLiteral("...7 after"));
    QCOMPARE(w.exits.count(), 1);
}

void IPEditInputTest::tabbingInAndOutCountsOneEntryAndOneExit_data()
{
    QTest::addColumn<bool>("tabStop");
    QTest::addColumn<QString>("behindFieldZero");

    QTest::newRow("frame is a tab stop") << true << "edit";
    QTest::newRow("frame is no tab stop") << false << "before";
}

void IPEditInputTest::tabbingInAndOutCountsOneEntryAndOneExit()
{
    QFETCH(bool, tabStop);
    QFETCH(QString, behindFieldZero);

    IPEditWindow w(tabStop);
    w.edit->setText(QStringLiteral("12.34.56.78"));
    QVERIFY(w.show());

    // GIVEN the focus in the neighbour, WHEN Tab goes into the control,
    // THEN it lands in field 0, selecting nothing, with one entry.
    IPEditWindow::type(QStringLiteral("{Tab}"));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field0"));
    QCOMPARE(w.enters.count(), 1);

    // Tabs along the fields are no entries and select nothing.
    IPEditWindow::type(QStringLiteral("{Tab}{Tab}{Tab}"));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field3"));
    QVERIFY(!w.edit->field(3)->hasSelectedText());
    QCOMPARE(w.enters.count(), 1);
    QCOMPARE(w.exits.count(), 0);

    IPEditWindow::type(QStringLiteral("{Tab}"));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("after"));
    QCOMPARE(w.exits.count(), 1);

    // Backwards from the next control, bound for field 3, it still lands in field 0.
    IPEditWindow::type(QStringLiteral("{BTab}"));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field0"));
    QCOMPARE(w.enters.count(), 2);

    IPEditWindow::type(QStringLiteral("{BTab}"));
    QCOMPARE(IPEditWindow::focusName(), behindFieldZero);
    QCOMPARE(w.exits.count(), tabStop ? 1 : 2);

    if (tabStop) {
        // From the frame itself: forward to field 0 and back out, no entry.
        IPEditWindow::type(QStringLiteral("{Tab}"));
        QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field0"));
        IPEditWindow::type(QStringLiteral("{BTab}{BTab}"));
        QCOMPARE(IPEditWindow::focusName(), QStringLiteral("before"));
        QCOMPARE(w.exits.count(), 2);
    }
    QCOMPARE(w.enters.count(), 2);
    QCOMPARE(w.changes.count(), 0);
}

void IPEditInputTest::clickingIntoAFieldFromOutsideLandsInFieldZero()
{
    IPEditWindow w;
    QVERIFY(w.show());

    QTest::mouseClick(w.edit->field(2), Qt::LeftButton);
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field0"));
    QCOMPARE(w.enters.count(), 1);
    QCOMPARE(w.clicks.count(), 1);

    // Inside the control a click simply moves the focus.
    QTest::mouseClick(w.edit->field(2), Qt::LeftButton);
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field2"));
    QCOMPARE(w.enters.count(), 1);
    QCOMPARE(w.clicks.count(), 2);

    QTest::mouseClick(w.after, Qt::LeftButton);
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("after"));
    QCOMPARE(w.exits.count(), 1);
    QCOMPARE(w.enters.count(), 1);
}

void IPEditInputTest::entryKeepsFieldZerosSelection()
{
    IPEditWindow w;
    w.edit->setText(QStringLiteral("123.4.5.6"));
    QVERIFY(w.show());
    enterField(w, 0, 0);
    w.edit->field(0)->setSelection(1, 2);

    IPEditWindow::type(QStringLiteral("{BTab}{BTab}"));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("before"));
    QTest::mouseClick(w.edit->field(3), Qt::LeftButton);

    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field0"));
    QCOMPARE(w.edit->field(0)->selectedText(), QStringLiteral("23"));
}

void IPEditInputTest::switchingWindowsIsNoExitAndNoEntry()
{
    IPEditWindow w;
    w.edit->setValue(0);
    QVERIFY(w.show());
    IPEditWindow::type(QStringLiteral("{Tab}{End}007"));
    QWidget other;
    other.setGeometry(500, 300, 100, 60);

    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(w.edit->field(3)->text(), QStringLiteral("007"));
    w.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));

    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field3"));
    QCOMPARE(w.enters.count(), 1);
    QCOMPARE(w.exits.count(), 0);
    QCOMPARE(w.edit->field(3)->text(), QStringLiteral("007"));
}

void IPEditInputTest::typedDotSuppressesOneFieldClick()
{
    IPEditWindow w;
    w.edit->setValue(0);
    QVERIFY(w.show());
    IPEditWindow::type(QStringLiteral("{Tab}1."));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field1"));

    // Dot labels and the frame fire and leave the suppression pending.
    QTest::mouseClick(w.edit->dotLabel(0), Qt::LeftButton);
    QCOMPARE(w.clicks.count(), 1);
    QTest::mouseClick(w.edit, Qt::LeftButton, {}, QPoint(1, 1));
    QCOMPARE(w.clicks.count(), 2);

    QTest::mouseClick(w.edit->field(2), Qt::LeftButton);
    QCOMPARE(w.clicks.count(), 2);
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field2"));

    QTest::mouseClick(w.edit->field(3), Qt::LeftButton);
    QCOMPARE(w.clicks.count(), 3);
}

void IPEditInputTest::dotInLastFieldSuppressesNothing()
{
    IPEditWindow w;
    QVERIFY(w.show());
    IPEditWindow::type(QStringLiteral("{Tab}{End}."));

    QTest::mouseClick(w.edit->field(0), Qt::LeftButton);
    QCOMPARE(w.clicks.count(), 1);
}

// What a mouse delivers: press, release, double-click, release.
static void doubleClick(QWidget *target, QPoint at)
{
    QTest::mouseClick(target, Qt::LeftButton, {}, at);
    QTest::mouseDClick(target, Qt::LeftButton, {}, at);
    QTest::mouseRelease(target, Qt::LeftButton, {}, at);
}

void IPEditInputTest::doubleClicksCountOnceEach()
{
    IPEditWindow w;
    QVERIFY(w.show());

    doubleClick(w.edit->field(1), w.edit->field(1)->rect().center());
    doubleClick(w.edit->dotLabel(1), w.edit->dotLabel(1)->rect().center());
    doubleClick(w.edit, QPoint(1, 1));

    // A double-click is one click and one double-click, as on the frame.
    QCOMPARE(w.doubleClicks.count(), 3);
    QCOMPARE(w.clicks.count(), 3);
    for (const QList<QVariant> &args : std::as_const(w.doubleClicks))
        QCOMPARE(args.at(0).value<QObject *>(), w.edit);
}

void IPEditInputTest::clipboardKeysThatTypeNothing_data()
{
    QTest::addColumn<QString>("script");     // typed into field 0 of 12.1.2.3, its text selected
    QTest::addColumn<QString>("text");       // field 0 afterwards
    QTest::addColumn<QString>("clipboard");  // which held "1234" before

    // Three pasted characters advance to the next field, as three typed do.
    QTest::newRow("Shift+Insert pastes, cut at three") << "{S-Ins}" << "123" << "1234";
    QTest::newRow("Ctrl+Insert copies") << "{C-Ins}" << "12" << "12";
    QTest::newRow("Shift+Delete cuts") << "{S-Del}" << "" << "12";
    QTest::newRow("Ctrl+V, Ctrl+X, Ctrl+C are control characters") << "{C-V}{C-X}{C-C}" << "12" << "1234";
}

void IPEditInputTest::clipboardKeysThatTypeNothing()
{
    QFETCH(QString, script);
    QFETCH(QString, text);
    QFETCH(QString, clipboard);

    IPEditWindow w;
    w.edit->setText(QStringLiteral("12.1.2.3"));
    QVERIFY(w.show());
    enterField(w, 0, -2);
    QGuiApplication::clipboard()->setText(QStringLiteral("1234"));

    IPEditWindow::type(script);

    QCOMPARE(w.edit->field(0)->text(), text);
    QCOMPARE(QGuiApplication::clipboard()->text(), clipboard);
    QCOMPARE(w.changes.count(), text == QLatin1String("12") ? 0 : 1);
}

void IPEditInputTest::keyThatMovesTheFocusAwayLeavesNoCaret_data()
{
    QTest::addColumn<int>("caret");
    QTest::addColumn<QString>("key");

    // Each key selects in field 1 on its way out.
    QTest::newRow("Shift+Home from the end") << -1 << "{S-Home}";
    QTest::newRow("Shift+End from the start") << 0 << "{S-End}";
    QTest::newRow("Shift+Left from a selection at 0") << -2 << "{S-Left}";
}

void IPEditInputTest::keyThatMovesTheFocusAwayLeavesNoCaret()
{
    QFETCH(int, caret);
    QFETCH(QString, key);

    IPEditWindow w;
    w.edit->setText(QStringLiteral("1.16.3.4"));
    QVERIFY(w.show());
    enterField(w, 1, caret);
    jIPByteEdit *left = w.edit->field(1);

    IPEditWindow::type(key);
    QVERIFY(!left->hasFocus());
    const QImage drawn = left->grab().toImage();

    // The same field once the focus has come into it and left it again,
    // which takes its caret down whatever happened before.
    left->setFocus(Qt::OtherFocusReason);
    w.after->setFocus(Qt::OtherFocusReason);
    QCOMPARE(left->text(), QStringLiteral("16"));
    QCOMPARE(drawn, left->grab().toImage());
}

void IPEditInputTest::contextMenuPasteIsHeldToThreeCharacters_data()
{
    QTest::addColumn<QString>("assigned");
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QString>("text");      // the whole control's Text afterwards
    QTest::addColumn<int>("changes");

    QTest::newRow("cut at three") << "-" << "12345" << "123..." << 1;
    QTest::newRow("first line only") << "-" << "4\n56" << "4..." << 1;
    QTest::newRow("letters are not filtered") << "-" << "ab" << "ab..." << 1;
    QTest::newRow("room for one more") << "12.0.0.0" << "345" << "123.0.0.0" << 1;
    QTest::newRow("over the limit takes nothing") << "-255.0.0.0" << "7" << "-255.0.0.0" << 0;
    QTest::newRow("a whole address fills all four fields") << "12.0.0.0" << " 10.1.2.3\n" << "10.1.2.3" << 4;
    QTest::newRow("a fifth piece makes it an ordinary paste") << "-" << "1.2.3.4.5" << "1.2..." << 1;
    QTest::newRow("an octet over 255 makes it an ordinary paste") << "-" << "10.0.0.256" << "10...." << 1;
}

void IPEditInputTest::contextMenuPasteIsHeldToThreeCharacters()
{
    QFETCH(QString, assigned);
    QFETCH(QString, clipboard);
    QFETCH(QString, text);
    QFETCH(int, changes);

    IPEditWindow w;
    if (assigned == QLatin1String("-"))
        w.edit->setValue(0);
    else
        w.edit->setText(assigned);
    QVERIFY(w.show());
    enterField(w, 0, -1);
    QGuiApplication::clipboard()->setText(clipboard);
    jIPByteEdit *field = w.edit->field(0);

    QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(2, 2), field->mapToGlobal(QPoint(2, 2)));
    QCoreApplication::sendEvent(field, &request);
    QMenu *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QAction *paste = nullptr;
    for (QAction *action : menu->actions()) {
        if (action->text().contains(QLatin1String("Paste")))
            paste = action;
    }
    QVERIFY(paste);
    paste->trigger();
    menu->close();

    QCOMPARE(w.edit->Text(), text);
    QCOMPARE(w.changes.count(), changes);
}

void IPEditInputTest::disabledControlTakesNoInput()
{
    IPEditWindow w;
    QVERIFY(w.show());

    w.edit->setEnabled(false);
    QVERIFY(!w.edit->Enabled());
    for (int i = 0; i < 4; ++i) {
        QVERIFY(!w.edit->field(i)->isEnabled());
        QVERIFY(!w.edit->dotLabel(i)->isEnabled());
    }
    IPEditWindow::type(QStringLiteral("{Tab}"));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("after"));
    QTest::mouseClick(w.edit->field(1), Qt::LeftButton);
    QTest::mouseClick(w.edit->dotLabel(0), Qt::LeftButton);
    QCOMPARE(w.clicks.count(), 0);
    QCOMPARE(w.enters.count(), 0);

    w.edit->setEnabled(true);
    QVERIFY(w.edit->Enabled());
    IPEditWindow::type(QStringLiteral("{BTab}"));
    QCOMPARE(IPEditWindow::focusName(), QStringLiteral("field0"));
    QCOMPARE(w.enters.count(), 1);
}

void IPEditInputTest::colourReachesEveryPartThroughFocusChanges()
{
    IPEditWindow w;
    QVERIFY(w.show());
    IPEditWindow::type(QStringLiteral("{Tab}{Tab}"));

    w.edit->setColor(Qt::yellow);
    IPEditWindow::type(QStringLiteral("{Tab}{Tab}{Tab}"));

    QCOMPARE(w.edit->Color(), QColor(Qt::yellow));
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(w.edit->field(i)->palette().color(QPalette::Base), QColor(Qt::yellow));
        QCOMPARE(w.edit->dotLabel(i)->palette().color(QPalette::Base), QColor(Qt::yellow));
    }
}

void IPEditInputTest::followsASwitchToADarkPalette()
{
    IPEditWindow w;
    w.edit->setText(QStringLiteral("10.1.2.3"));
    QVERIFY(w.show());
    enterField(w, 1, -2);
    IPEditWindow::type(QStringLiteral("{Tab}"));    // field 1 keeps a hidden selection

    // A theme switch reaches every window as a new palette, as here.
    QPalette dark(QColor(0x30, 0x30, 0x30), QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::Base, QColor(0x10, 0x10, 0x40));
    dark.setColor(QPalette::Text, QColor(0xE0, 0xE0, 0xE0));
    w.window.setPalette(dark);
    const QImage drawn = w.edit->grab().toImage();

    // The frame's inside above the fields, a dot label and a field, each
    // beside its text.
    const QPoint frame = w.edit->contentsRect().topLeft();
    const QRect dot = w.edit->dotLabel(0)->geometry();
    const QRect field = w.edit->field(1)->geometry();
    QVERIFY(frame.y() < field.top());
    for (const QPoint at : {frame, dot.topLeft(), field.topLeft() + QPoint(1, 1)})
        QVERIFY2(drawn.pixelColor(at) == dark.color(QPalette::Base),
                 qPrintable(QStringLiteral("%1,%2 is %3").arg(at.x()).arg(at.y()).arg(drawn.pixelColor(at).name())));
    QCOMPARE(w.edit->Color(), dark.color(QPalette::Base));
    // Selected text hidden in an unfocused field is drawn as the rest.
    QCOMPARE(w.edit->field(1)->palette().color(QPalette::HighlightedText), dark.color(QPalette::Text));
}

void IPEditInputTest::destroyingTheFocusedControlIsQuiet_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("caret");

    QTest::newRow("field 0 with a Backspace queued") << 1 << 0;
    QTest::newRow("last field") << 3 << -1;
}

void IPEditInputTest::destroyingTheFocusedControlIsQuiet()
{
    QFETCH(int, start);
    QFETCH(int, caret);

    IPEditWindow w;
    w.edit->setText(QStringLiteral("1.2.3.4"));
    QVERIFY(w.show());
    enterField(w, start, caret);
    int exitsDuringDestruction = 0;
    QObject::connect(w.edit, &jIPEdit::OnExit, w.edit, [&](QObject *sender) {
        ++exitsDuringDestruction;
        (void)qobject_cast<jIPEdit *>(sender)->Text();
    });
    QTest::keyClick(w.edit->field(start), Qt::Key_Backspace);

    delete std::exchange(w.edit, nullptr);
    QCoreApplication::sendPostedEvents();

    QCOMPARE(exitsDuringDestruction, 0);
}

QTEST_MAIN(IPEditInputTest)
#include "tst_ipedit_input.moc"
