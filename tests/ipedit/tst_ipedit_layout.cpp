// Where the parts go for a given size, font and frame, and a control loaded
// from a Designer file the way the window loads its four.

#include "jIPByteEdit.h"
#include "jIPEdit.h"
#include "ui_IPEditProbe.h"

#include <QFontMetrics>
#include <QLabel>
#include <QtTest>

class IPEditLayoutTest final : public QObject
{
    Q_OBJECT

private slots:
    void tooSmallGrowsHeightThenWidth_data();
    void tooSmallGrowsHeightThenWidth();
    void extraSpaceGoesToTheFields_data();
    void extraSpaceGoesToTheFields();
    void newFontMovesNothingUntilTheNextResize();

    void loadsStoredValuesInStoredOrder();
    void tabOrderFollowsTheDefinition();
};

namespace {

enum class Frame { Sunken3D, Line, None };

struct Measures {
    int frame;        // total frame thickness across
    int textHeight;   // of "0"
    int threeDigits;  // width of "000"
    int dot;          // width of a label showing "."
};

Measures measure(const QFont &font, Frame frame)
{
    QLabel dot(QStringLiteral("."));
    dot.setFont(font);
    dot.adjustSize();
    const QFontMetrics metrics(font);
    const int thickness = frame == Frame::Sunken3D ? 4 : frame == Frame::Line ? 2 : 0;
    return {thickness, metrics.height(), metrics.horizontalAdvance(QStringLiteral("000")), dot.width()};
}

void configure(jIPEdit &edit, const QFont &font, Frame frame)
{
    edit.setFont(font);
    edit.setBorderStyle(frame == Frame::None ? jIPEdit::bsNone : jIPEdit::bsSingle);
    edit.setCtl3D(frame == Frame::Sunken3D);
}

void addFontAndFrameRows()
{
    QTest::addColumn<QFont>("font");
    QTest::addColumn<int>("frame");

    QTest::newRow("small font, sunken edge") << QFont(QStringLiteral("DejaVu Sans"), 8) << int(Frame::Sunken3D);
    QTest::newRow("large bold font, sunken edge")
        << QFont(QStringLiteral("DejaVu Sans"), 20, QFont::Bold) << int(Frame::Sunken3D);
    QTest::newRow("small font, plain line") << QFont(QStringLiteral("DejaVu Sans"), 8) << int(Frame::Line);
    QTest::newRow("large bold font, no border")
        << QFont(QStringLiteral("DejaVu Sans"), 20, QFont::Bold) << int(Frame::None);
}

// Records every size the control takes, in order.
class SizeLog final : public QObject
{
public:
    QList<QSize> sizes;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Resize)
            sizes << static_cast<QResizeEvent *>(event)->size();
        return false;
    }
};

void verifyPlaced(const jIPEdit &edit, const Measures &m, int fieldWidth)
{
    const int clientHeight = edit.height() - m.frame;
    const int top = m.frame / 2 + (clientHeight - m.textHeight) / 2;
    for (int i = 0; i < 4; ++i) {
        const int left = m.frame / 2 + i * (fieldWidth + m.dot);
        QCOMPARE(edit.field(i)->geometry(), QRect(left, top, fieldWidth, m.textHeight));
        QCOMPARE(edit.dotLabel(i)->pos(), QPoint(left + fieldWidth, top));
        QCOMPARE(edit.dotLabel(i)->height(), m.textHeight);
    }
    QCOMPARE(edit.dotLabel(0)->width(), m.dot);
}

} // namespace

void IPEditLayoutTest::tooSmallGrowsHeightThenWidth_data()
{
    addFontAndFrameRows();
}

void IPEditLayoutTest::tooSmallGrowsHeightThenWidth()
{
    QFETCH(QFont, font);
    QFETCH(int, frame);
    const Measures m = measure(font, Frame(frame));

    QWidget window;
    window.resize(400, 120);
    jIPEdit edit(&window);
    configure(edit, font, Frame(frame));
    edit.Loaded();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    SizeLog log;
    edit.installEventFilter(&log);

    edit.resize(30, 5);

    const QSize grown(m.frame + 4 * m.threeDigits + 3 * m.dot, m.textHeight + m.frame);
    QCOMPARE(log.sizes, (QList<QSize>{{30, 5}, {30, grown.height()}, grown}));
    QCOMPARE(edit.size(), grown);
    verifyPlaced(edit, m, m.threeDigits);
}

void IPEditLayoutTest::extraSpaceGoesToTheFields_data()
{
    addFontAndFrameRows();
}

void IPEditLayoutTest::extraSpaceGoesToTheFields()
{
    QFETCH(QFont, font);
    QFETCH(int, frame);
    const Measures m = measure(font, Frame(frame));

    // Loaded while hidden, as a window definition loads it.
    jIPEdit edit;
    configure(edit, font, Frame(frame));
    const int width = m.frame + 4 * m.threeDigits + 3 * m.dot + 23;
    const int height = m.textHeight + m.frame + 9;
    edit.resize(width, height);
    edit.Loaded();

    QCOMPARE(edit.size(), QSize(width, height));
    verifyPlaced(edit, m, (width - m.frame - 3 * m.dot) / 4);
    // The odd pixel of the extra height lies below the fields.
    const int below = edit.height() - m.frame / 2 - edit.field(0)->geometry().bottom() - 1;
    const int above = edit.field(0)->y() - m.frame / 2;
    QCOMPARE(below - above, 1);
}

void IPEditLayoutTest::newFontMovesNothingUntilTheNextResize()
{
    const QFont small(QStringLiteral("DejaVu Sans"), 8);
    const QFont large(QStringLiteral("DejaVu Sans"), 20, QFont::Bold);
    QWidget window;
    window.resize(500, 100);
    jIPEdit edit(&window);
    edit.setFont(small);
    edit.resize(400, 60);
    edit.Loaded();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect placed = edit.field(1)->geometry();

    edit.setFont(large);

    QCOMPARE(edit.field(1)->geometry(), placed);
    const Measures m = measure(large, Frame::Sunken3D);
    QCOMPARE(edit.dotLabel(0)->width(), m.dot);

    edit.resize(401, 60);
    verifyPlaced(edit, m, (401 - m.frame - 3 * m.dot) / 4);
}

void IPEditLayoutTest::loadsStoredValuesInStoredOrder()
{
    QWidget window;
    Ui::IPEditProbe ui;
    ui.setupUi(&window);
    ui.jIPE_Zero->Loaded();
    ui.jIPE_Server->Loaded();

    // Text "0.0.0.0" and then Value 0: four empty fields.
    QCOMPARE(ui.jIPE_Zero->Text(), QStringLiteral("..."));
    QCOMPARE(ui.jIPE_Zero->Value(), 0u);
    QCOMPARE(ui.jIPE_Server->Text(), QStringLiteral("172.16.30.1"));
    QCOMPARE(ui.jIPE_Server->Value(), 0xAC101E01u);

    QVERIFY(ui.jIPE_Zero->TabStop());
    QVERIFY(!ui.jIPE_Server->Ctl3D());
    QCOMPARE(ui.jIPE_Zero->field(2)->font().pointSize(), 12);
    QVERIFY(ui.jIPE_Zero->field(2)->font().bold());
    // 33 pixels high is room enough for the bold font: nothing grew.
    QCOMPARE(ui.jIPE_Zero->size(), QSize(185, 33));
    QVERIFY(ui.jIPE_Zero->contentsRect().contains(ui.jIPE_Zero->field(3)->geometry()));
}

void IPEditLayoutTest::tabOrderFollowsTheDefinition()
{
    QWidget window;
    Ui::IPEditProbe ui;
    ui.setupUi(&window);
    ui.jIPE_Zero->Loaded();
    ui.jIPE_Server->Loaded();
    QSignalSpy entered(ui.jIPE_Server, &jIPEdit::OnEnter);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // The first stop of the stored cycle takes the focus at start, in field 0.
    QCOMPARE(QApplication::focusWidget(), ui.jIPE_Server->field(0));
    QCOMPARE(entered.count(), 1);
    ui.before->setFocus(Qt::OtherFocusReason);

    // The stored cycle: jIPE_Server, before, jIPE_Zero, after; each control
    // is entered in field 0 and left after field 3.
    const QList<QWidget *> expected = {
        ui.jIPE_Zero->field(0), ui.jIPE_Zero->field(1), ui.jIPE_Zero->field(2), ui.jIPE_Zero->field(3),
        ui.after,
        ui.jIPE_Server->field(0), ui.jIPE_Server->field(1), ui.jIPE_Server->field(2), ui.jIPE_Server->field(3),
        ui.before,
    };
    for (QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

QTEST_MAIN(IPEditLayoutTest)
#include "tst_ipedit_layout.moc"
