// Text and Value as the program reads and assigns them, and the state a new
// control starts in.

#include "jIPByteEdit.h"
#include "jIPEdit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

class IPEditValuesTest final : public QObject
{
    Q_OBJECT

private slots:
    void newControlShowsZeroes();

    void assigningText_data();
    void assigningText();
    void assigningValue_data();
    void assigningValue();
    void readingValue_data();
    void readingValue();

    void assignmentsReportFieldByFieldInTheirOrder_data();
    void assignmentsReportFieldByFieldInTheirOrder();
    void assignmentLeavesTheCaretAtZero();

    void propertiesNotifyAndValueIsTheUserProperty();
    void sitsInALayoutAtItsMinimumSize();
    void disabledParentLeavesTheAssignedEnabled();
};

static QStringList fieldTexts(const jIPEdit &edit)
{
    QStringList texts;
    for (int i = 0; i < 4; ++i)
        texts << edit.field(i)->text();
    return texts;
}

// Puts texts into the fields the way a paste does, bypassing Text.
static void putFieldTexts(jIPEdit &edit, const QStringList &texts)
{
    for (int i = 0; i < 4; ++i)
        edit.field(i)->setText(texts[i]);
}

void IPEditValuesTest::newControlShowsZeroes()
{
    const jIPEdit edit;

    QCOMPARE(edit.size(), QSize(185, 21));
    QCOMPARE(edit.Text(), QStringLiteral("0.0.0.0"));
    QCOMPARE(edit.Value(), 0u);
    QCOMPARE(edit.BorderStyle(), jIPEdit::bsSingle);
    QVERIFY(!edit.TabStop());
    QVERIFY(edit.Enabled());
    QVERIFY(edit.contentsRect().width() < edit.width());
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(edit.field(i)->Tag(), i);
        QCOMPARE(edit.field(i)->Alignment(), jIPByteEdit::taCenter);
        QVERIFY(!edit.field(i)->hasFrame());
        QCOMPARE(edit.dotLabel(i)->text(), i < 3 ? QStringLiteral(".") : QString());
        QCOMPARE(edit.dotLabel(i)->isHidden(), i == 3);
        // No layout pass has placed anything yet.
        QCOMPARE(edit.field(i)->pos(), edit.field(0)->pos());
    }
}

void IPEditValuesTest::assigningText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<int>("changes");

    // Every row starts from the fields 1, 2, 3 and 4.
    QTest::newRow("same text is no change") << "1.2.3.4" << QStringList{"1", "2", "3", "4"} << 0;
    QTest::newRow("fewer pieces keep later fields") << "10.1" << QStringList{"10", "1", "3", "4"} << 2;
    QTest::newRow("empty text empties field 0 only") << "" << QStringList{"", "2", "3", "4"} << 1;
    QTest::newRow("fifth piece ignored") << "5.6.7.8.9" << QStringList{"5", "6", "7", "8"} << 4;
    QTest::newRow("blanks and controls trimmed at both ends")
        << "\t 192.168.001.010 \r\n" << QStringList{"192", "168", "1", "10"} << 4;
    QTest::newRow("any control character trimmed") << "\x01" "5.6.7.8\x1f" << QStringList{"5", "6", "7", "8"} << 4;
    QTest::newRow("no-break space is not trimmed") << "\u00a05.6.7.8" << QStringList{"", "6", "7", "8"} << 4;
    QTest::newRow("blank after digits fails the piece") << "10 .1.2.3" << QStringList{"", "1", "2", "3"} << 4;
    QTest::newRow("inner control character fails the piece") << "1.2\t.3.4" << QStringList{"1", "", "3", "4"} << 1;
    QTest::newRow("blank before digits and sign pass") << "+1. 2.-0.4" << QStringList{"1", "2", "0", "4"} << 1;
    QTest::newRow("wrapped by rem 256") << "300.999.256.-300" << QStringList{"44", "231", "0", "-44"} << 4;
    QTest::newRow("negative keeps its sign") << "-1.2.3.4" << QStringList{"-1", "2", "3", "4"} << 1;
    QTest::newRow("long negative is not cut") << "-255.2.3.4" << QStringList{"-255", "2", "3", "4"} << 1;
    QTest::newRow("letters empty the field") << "a.2.3.4" << QStringList{"", "2", "3", "4"} << 1;
    QTest::newRow("hexadecimal pieces") << "$FF.0x10.x1.4" << QStringList{"255", "16", "1", "4"} << 3;
    QTest::newRow("out of 32 bits empties") << "4294967296.2.3.4" << QStringList{"", "2", "3", "4"} << 1;
    QTest::newRow("dots only empty all four") << "..." << QStringList{"", "", "", ""} << 4;
    QTest::newRow("no dot at all fills field 0") << "77" << QStringList{"77", "2", "3", "4"} << 1;
}

void IPEditValuesTest::assigningText()
{
    QFETCH(QString, text);
    QFETCH(QStringList, fields);
    QFETCH(int, changes);

    jIPEdit edit;
    edit.setText(QStringLiteral("1.2.3.4"));
    QSignalSpy changed(&edit, &jIPEdit::OnChange);

    edit.setText(text);

    QCOMPARE(fieldTexts(edit), fields);
    QCOMPARE(edit.Text(), fields.join(u'.'));
    QCOMPARE(changed.count(), changes);
}

void IPEditValuesTest::assigningValue_data()
{
    QTest::addColumn<quint32>("value");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("0 empties every field") << 0u << QStringList{"", "", "", ""};
    QTest::newRow("factory address") << 0xAC101E01u << QStringList{"172", "16", "30", "1"};
    QTest::newRow("zero bytes show 0") << 0x0A000000u << QStringList{"10", "0", "0", "0"};
    QTest::newRow("only the last byte") << 1u << QStringList{"0", "0", "0", "1"};
    QTest::newRow("all bits") << 0xFFFFFFFFu << QStringList{"255", "255", "255", "255"};
}

void IPEditValuesTest::assigningValue()
{
    QFETCH(quint32, value);
    QFETCH(QStringList, fields);

    jIPEdit edit;
    edit.setText(QStringLiteral("9.9.9.9"));

    edit.setValue(value);

    QCOMPARE(fieldTexts(edit), fields);
    QCOMPARE(edit.Value(), value);
}

void IPEditValuesTest::readingValue_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<quint32>("value");

    QTest::newRow("dotted") << QStringList{"172", "16", "30", "1"} << 0xAC101E01u;
    QTest::newRow("empty and letters count 0") << QStringList{"10", "", "ab", "1"} << 0x0A000001u;
    QTest::newRow("blank after digits counts 0") << QStringList{"1", "2 ", "3", "4"} << 0x01000304u;
    // Out-of-range octets are masked to their byte and never disturb the
    // neighbouring octets.
    QTest::newRow("typed 300 counts as shown after leaving") << QStringList{"1", "300", "3", "4"} << 0x012C0304u;
    QTest::newRow("negative counts its low byte") << QStringList{"-1", "0", "0", "0"} << 0xFF000000u;
    QTest::newRow("negative in the last field") << QStringList{"1", "2", "3", "-2"} << 0x010203FEu;
}

void IPEditValuesTest::readingValue()
{
    QFETCH(QStringList, fields);
    QFETCH(quint32, value);

    jIPEdit edit;
    putFieldTexts(edit, fields);

    QCOMPARE(edit.Value(), value);
}

void IPEditValuesTest::assignmentsReportFieldByFieldInTheirOrder_data()
{
    QTest::addColumn<bool>("byValue");
    QTest::addColumn<QStringList>("seen");

    QTest::newRow("Text from field 0") << false << QStringList{"5.0.0.0", "5.6.0.0", "5.6.7.0", "5.6.7.8"};
    QTest::newRow("Value from field 3") << true << QStringList{"0.0.0.8", "0.0.7.8", "0.6.7.8", "5.6.7.8"};
}

void IPEditValuesTest::assignmentsReportFieldByFieldInTheirOrder()
{
    QFETCH(bool, byValue);
    QFETCH(QStringList, seen);

    jIPEdit edit;
    QStringList reported;
    connect(&edit, &jIPEdit::OnChange, &edit, [&](QObject *sender) {
        QCOMPARE(sender, &edit);
        reported << edit.Text();
    });

    if (byValue)
        edit.setValue(0x05060708u);
    else
        edit.setText(QStringLiteral("5.6.7.8"));

    QCOMPARE(reported, seen);
}

void IPEditValuesTest::assignmentLeavesTheCaretAtZero()
{
    jIPEdit edit;
    edit.field(1)->setText(QStringLiteral("12"));
    edit.field(1)->setCursorPosition(1);
    edit.field(2)->selectAll();

    edit.setText(QStringLiteral("1.12.123.1"));

    QCOMPARE(edit.field(0)->cursorPosition(), 0);
    // Field 1 already held its piece: no assignment, its caret stays.
    QCOMPARE(edit.field(1)->cursorPosition(), 1);
    QCOMPARE(edit.field(2)->cursorPosition(), 0);
    QVERIFY(!edit.field(2)->hasSelectedText());
}

QTEST_MAIN(IPEditValuesTest)
#include "tst_ipedit_values.moc"

void IPEditValuesTest::propertiesNotifyAndValueIsTheUserProperty()
{
    jIPEdit edit;
    const QMetaObject &meta = *edit.metaObject();
    QCOMPARE(QByteArray(meta.userProperty().name()), QByteArray("Value"));
    QSignalSpy texts(&edit, &jIPEdit::TextChanged);
    QSignalSpy values(&edit, &jIPEdit::ValueChanged);
    QSignalSpy changes(&edit, &jIPEdit::OnChange);

    // Through the property system, as a mapper or an item delegate writes it.
    QVERIFY(meta.userProperty().write(&edit, QVariant::fromValue(quint32(0x0A000001))));
    QCOMPARE(edit.Text(), QStringLiteral("10.0.0.1"));
    QCOMPARE(changes.count(), 2);   // fields 3 and 0; fields 1 and 2 keep their "0"
    // One notification per assignment, never the 0.0.0.1 passed on the way.
    QCOMPARE(texts.count(), 1);
    QCOMPARE(texts.last().at(0).toString(), QStringLiteral("10.0.0.1"));
    QCOMPARE(values.count(), 1);
    QCOMPARE(values.last().at(0).value<quint32>(), 0x0A000001u);

    // An assignment that changes nothing notifies nothing.
    edit.setText(QStringLiteral("010.0.0.1"));
    QCOMPARE(texts.count(), 1);

    // A field's own change (the user's typing) notifies at once; one that
    // keeps the number notifies the text alone.
    edit.field(1)->setText(QStringLiteral("00"));
    QCOMPARE(texts.count(), 2);
    QCOMPARE(texts.last().at(0).toString(), QStringLiteral("10.00.0.1"));
    QCOMPARE(values.count(), 1);
}

void IPEditValuesTest::sitsInALayoutAtItsMinimumSize()
{
    QWidget window;
    auto *layout = new QHBoxLayout(&window);
    auto *edit = new jIPEdit;
    QFont big = edit->font();
    big.setPixelSize(30);
    edit->setFont(big);
    layout->addWidget(edit);
    window.resize(10, 10);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(edit->size().expandedTo(edit->minimumSizeHint()), edit->size());
    const QSize hint = edit->sizeHint();
    QVERIFY(hint.width() >= edit->minimumSizeHint().width() && hint.width() >= 185);
    // The layout pass has nothing to grow: every field shows "000" whole.
    const QFontMetrics metrics(big);
    for (int i = 0; i < 4; ++i)
        QVERIFY(edit->field(i)->width() >= metrics.horizontalAdvance(QStringLiteral("000")));
}

void IPEditValuesTest::disabledParentLeavesTheAssignedEnabled()
{
    QWidget parent;
    auto *edit = new jIPEdit(&parent);
    QVERIFY(edit->setProperty("Enabled", false));
    QVERIFY(!edit->Enabled());
    for (int i = 0; i < 4; ++i)
        QVERIFY(!edit->field(i)->isEnabled() && !edit->dotLabel(i)->isEnabled());

    edit->setEnabled(true);
    parent.setEnabled(false);
    QVERIFY(edit->Enabled());          // what was assigned
    QVERIFY(!edit->field(0)->isEnabled());
    parent.setEnabled(true);
    QVERIFY(edit->field(0)->isEnabled());
}
