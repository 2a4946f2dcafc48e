// The picture box: header-only loading, one decode on the first paint, the
// display rule (top-left corner, one pixel to one pixel, clipped), and errors
// that reach the error presenter once and leave the box working.

#include "JpegDecoder.h"
#include "JpegTestFiles.h"
#include "PictureClasses.h"
#include "StoredPicture.h"
#include "TImage.h"
#include "TJPEGImage.h"
#include "ui_PicturePage.h"

#include <QtTest>

#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

using namespace pnv::test;

namespace {

QString resourcePath(const QString &fileName)
{
    return QStringLiteral(":/pictures/") + fileName;
}

TJPEGImage *jpegOf(const TImage &box)
{
    return dynamic_cast<TJPEGImage *>(box.graphic());
}

QImage grabbed(TImage &box)
{
    return box.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestTImage final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loadingReadsOnlyTheHeader();
    void firstPaintDecodesAndLaterPaintsReuse();
    void boxShowsTheTopLeftOfItsPicture_data();
    void boxShowsTheTopLeftOfItsPicture();
    void refusedPicturesAreReportedOnce_data();
    void refusedPicturesAreReportedOnce();
    void pictureFileProblemsAreReported_data();
    void pictureFileProblemsAreReported();
    void windowDefinitionsSetThePictureProperty();
    void loadsFromACompiledWindowDefinition();

private:
    QStringList m_reports;
    TImage::ErrorPresenter m_previousPresenter;
};

void TestTImage::initTestCase()
{
    pnv::registerPictureClasses();
}

void TestTImage::init()
{
    m_reports.clear();
    m_previousPresenter = TImage::setErrorPresenter(
        [this](const pnv::AppError &error) { m_reports.append(error.message()); });
}

void TestTImage::cleanup()
{
    TImage::setErrorPresenter(std::move(m_previousPresenter));
}

void TestTImage::loadingReadsOnlyTheHeader()
{
    TImage box;
    box.resize(177, 193);
    box.setPicture(resourcePath("reset-step1.jpg"));

    TJPEGImage *jpeg = jpegOf(box);
    QVERIFY(jpeg);
    QCOMPARE(jpeg->size(), QSize(184, 200));
    QCOMPARE(jpeg->isGrayscale(), false);
    QCOMPARE(jpeg->isProgressive(), false);
    QCOMPARE(jpeg->data(), readCommittedFile("reset-step1.jpg"));
    QCOMPARE(jpeg->decodeCount(), 0);
    QVERIFY(!jpeg->isDecoded());

    // A file whose scan is cut short has a sound header: it loads, and only
    // drawing would find the fault.
    const QByteArray cut = readCommittedFile("reset-step1.jpg");
    box.setStoredPicture(pnv::writeStoredPicture("TJPEGImage", cut.left(cut.size() / 2)));
    QVERIFY(jpegOf(box));
    QCOMPARE(jpegOf(box)->size(), QSize(184, 200));
    QCoreApplication::processEvents();
    QVERIFY(m_reports.isEmpty());
}

void TestTImage::firstPaintDecodesAndLaterPaintsReuse()
{
    QWidget window;
    window.resize(300, 300);
    auto *box = new TImage(&window);
    box->setGeometry(8, 8, 126, 201);
    box->setPicture(resourcePath("reset-step4.jpg"));
    TJPEGImage *jpeg = jpegOf(*box);
    QVERIFY(jpeg);

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(jpeg->decodeCount(), 1);
    const qint64 bitmapKey = jpeg->bitmap(32).cacheKey();

    box->repaint();
    window.repaint();
    grabbed(*box);
    QCOMPARE(jpeg->decodeCount(), 1);
    QCOMPARE(jpeg->bitmap(32).cacheKey(), bitmapKey);
    QCOMPARE(jpeg->bitmap(32).format(), QImage::Format_RGB888);
}

void TestTImage::boxShowsTheTopLeftOfItsPicture_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QSize>("boxSize");
    QTest::newRow("step 1") << "reset-step1.jpg" << QSize(177, 193);
    QTest::newRow("step 2") << "reset-step2.jpg" << QSize(177, 65);
    QTest::newRow("step 3") << "reset-step3.jpg" << QSize(185, 65);
    QTest::newRow("step 4") << "reset-step4.jpg" << QSize(126, 201);
}

void TestTImage::boxShowsTheTopLeftOfItsPicture()
{
    QFETCH(QString, fileName);
    QFETCH(QSize, boxSize);
    TImage box;
    box.resize(boxSize);
    box.setPicture(resourcePath(fileName));

    const QImage decoded = pnv::decodeJpeg(readCommittedFile(fileName), pnv::JpegPixels::Rgb24);
    const QImage expected = decoded.copy(QRect(QPoint(0, 0), boxSize)).convertToFormat(QImage::Format_RGB32);
    const QImage shown = grabbed(box);
    QCOMPARE(shown.size(), boxSize);
    QCOMPARE(shown, expected);
    QVERIFY(m_reports.isEmpty());
}

void TestTImage::refusedPicturesAreReportedOnce_data()
{
    QTest::addColumn<QByteArray>("jpeg");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("atLoad");

    const QByteArray good = readCommittedFile("reset-step3.jpg");
    QTest::newRow("corrupt: not a JPEG") << withByte(good, 0, 0x12) << int(JERR_NO_SOI) << true;
    QTest::newRow("corrupt: undefined quantisation table")
        << withByte(good, startOfFrame(good) + FirstComponentQuantTable, 2) << int(JERR_NO_QUANT_TABLE) << false;
    QTest::newRow("truncated in the header") << good.left(40) << int(JWRN_JPEG_EOF) << true;
    QTest::newRow("truncated in the scan") << good.left(good.size() - 600) << int(JWRN_JPEG_EOF) << false;
}

void TestTImage::refusedPicturesAreReportedOnce()
{
    QFETCH(QByteArray, jpeg);
    QFETCH(int, code);
    QFETCH(bool, atLoad);
    const QString message = QStringLiteral("JPEG error #%1").arg(code);

    TImage box;
    box.resize(185, 65);
    box.setStoredPicture(pnv::writeStoredPicture("TJPEGImage", jpeg));
    const QImage background = grabbed(box); // a broken picture draws nothing
    QTRY_COMPARE(m_reports, QStringList{message});

    if (atLoad) {
        QVERIFY(!box.graphic());
    } else {
        QVERIFY(box.drawingFailed());
        QCOMPARE(jpegOf(box)->decodeCount(), 1);
    }
    // Later repaints neither decode again nor raise another error box.
    grabbed(box);
    box.repaint();
    QCoreApplication::processEvents();
    QCOMPARE(m_reports.size(), 1);
    if (!atLoad)
        QCOMPARE(jpegOf(box)->decodeCount(), 1);

    // The box goes on working with a sound picture.
    box.setPicture(resourcePath("reset-step3.jpg"));
    QVERIFY(!box.drawingFailed());
    const QImage expected = pnv::decodeJpeg(readCommittedFile("reset-step3.jpg"), pnv::JpegPixels::Rgb24)
                                .copy(0, 0, 185, 65)
                                .convertToFormat(QImage::Format_RGB32);
    QCOMPARE(grabbed(box), expected);
    QVERIFY(grabbed(box) != background);
    QCoreApplication::processEvents();
    QCOMPARE(m_reports.size(), 1);
}

void TestTImage::pictureFileProblemsAreReported_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << ":/pictures/reset-step9.jpg"
                             << "Cannot read picture file ':/pictures/reset-step9.jpg'";
    QTest::newRow("unregistered type") << ":/pictures/reset-step1.bmp"
                                       << "':/pictures/reset-step1.bmp' is not a registered picture file type";
    QTest::newRow("no extension") << ":/pictures/reset-step1"
                                  << "':/pictures/reset-step1' is not a registered picture file type";
}

void TestTImage::pictureFileProblemsAreReported()
{
    QFETCH(QString, path);
    QFETCH(QString, message);
    TImage box;
    box.resize(50, 50);
    box.setPicture(resourcePath("reset-step2.jpg"));
    box.setPicture(path);
    QVERIFY(!box.graphic()); // the earlier picture is not left standing
    QCOMPARE(box.picture(), path);
    QTRY_COMPARE(m_reports, QStringList{message});
}

void TestTImage::windowDefinitionsSetThePictureProperty()
{
    // uic sets custom widget properties by name; the name is part of the
    // window definition's format.
    TImage box;
    QVERIFY(box.setProperty("Picture", resourcePath("reset-step2.jpg")));
    QCOMPARE(box.property("Picture").toString(), resourcePath("reset-step2.jpg"));
    QVERIFY(jpegOf(box));
    QCOMPARE(jpegOf(box)->size(), QSize(192, 80));

    box.setProperty("Picture", QString());
    QVERIFY(!box.graphic());
    QCoreApplication::processEvents();
    QVERIFY(m_reports.isEmpty());
}

void TestTImage::loadsFromACompiledWindowDefinition()
{
    QWidget page;
    Ui::PicturePage ui;
    ui.setupUi(&page);
    TJPEGImage *jpeg = jpegOf(*ui.Image3);
    QVERIFY(jpeg);
    QCOMPARE(jpeg->size(), QSize(128, 208));
    QCOMPARE(jpeg->decodeCount(), 0);
    QCOMPARE(ui.Image3->geometry(), QRect(32, 8, 126, 201));
    const QImage expected = pnv::decodeJpeg(readCommittedFile("reset-step4.jpg"), pnv::JpegPixels::Rgb24)
                                .copy(0, 0, 126, 201)
                                .convertToFormat(QImage::Format_RGB32);
    QCOMPARE(grabbed(*ui.Image3), expected);
}

QTEST_MAIN(TestTImage)
#include "tst_timage.moc"
