// Reading JPEG data with libjpeg: the header alone, full decoding in both
// pixel formats, and the refusals that must come back as "JPEG error #N"
// with libjpeg's own message number.

#include "JpegDecoder.h"
#include "JpegError.h"
#include "JpegTestFiles.h"
#include "JpegWriter.h"

#include <QPainter>
#include <QtTest>

#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

#include <functional>
#include <optional>

using pnv::JpegPixels;
using namespace pnv::test;

Q_DECLARE_METATYPE(pnv::JpegPixels)
Q_DECLARE_METATYPE(pnv::ChromaSampling)

namespace {

// A small picture with edges and colours, so that coding faults show.
QImage testScene(int width = 64, int height = 48)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.fillRect(0, 0, width / 2, height / 2, QColor(200, 30, 30));
    p.fillRect(width / 2, 0, width / 2, height / 2, QColor(30, 160, 60));
    p.fillRect(0, height / 2, width / 2, height / 2, QColor(20, 60, 200));
    p.setPen(QPen(Qt::black, 3));
    p.drawLine(0, 0, width, height);
    return image;
}

QByteArray encoded(const QImage &image, pnv::ChromaSampling chroma = pnv::ChromaSampling::Halved,
                   bool grayscale = false, bool progressive = false, int quality = 90)
{
    pnv::JpegWriteOptions options;
    options.chroma = chroma;
    options.grayscale = grayscale;
    options.progressive = progressive;
    options.quality = quality;
    return pnv::encodeJpeg(image, options);
}

std::optional<int> refusalCode(const std::function<void()> &work)
{
    try {
        work();
    } catch (const pnv::JpegError &error) {
        if (error.message() != QStringLiteral("JPEG error #%1").arg(error.messageCode()))
            return -1;
        return error.messageCode();
    }
    return std::nullopt;
}

} // namespace

class TestJpegDecoder final : public QObject {
    Q_OBJECT

private slots:
    void header_data();
    void header();
    void solidColoursSurviveDecoding_data();
    void solidColoursSurviveDecoding();
    void progressiveDecodesLikeBaseline();
    void grayscaleDecodesToGrey();
    void palettePicturesStayCloseToFullColour_data();
    void palettePicturesStayCloseToFullColour();
    void applicationSegmentsAreIgnored();
    void refusals_data();
    void refusals();
};

void TestJpegDecoder::header_data()
{
    QTest::addColumn<QByteArray>("jpeg");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("grayscale");
    QTest::addColumn<bool>("progressive");

    const QImage scene = testScene(70, 33);
    QTest::newRow("baseline colour") << encoded(scene) << 70 << 33 << false << false;
    QTest::newRow("greyscale") << encoded(scene, pnv::ChromaSampling::Full, true) << 70 << 33 << true << false;
    QTest::newRow("progressive") << encoded(scene, pnv::ChromaSampling::Full, false, true) << 70 << 33 << false
                                 << true;
    QTest::newRow("wider than 255") << encoded(testScene(1393, 9)) << 1393 << 9 << false << false;
    QTest::newRow("reset step 1") << readCommittedFile("reset-step1.jpg") << 184 << 200 << false << false;
    QTest::newRow("reset step 4") << readCommittedFile("reset-step4.jpg") << 128 << 208 << false << false;
}

void TestJpegDecoder::header()
{
    QFETCH(QByteArray, jpeg);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, grayscale);
    QFETCH(bool, progressive);
    const pnv::JpegHeader header = pnv::readJpegHeader(jpeg);
    QCOMPARE(header.width, width);
    QCOMPARE(header.height, height);
    QCOMPARE(header.grayscale, grayscale);
    QCOMPARE(header.progressive, progressive);
}

void TestJpegDecoder::solidColoursSurviveDecoding_data()
{
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<pnv::ChromaSampling>("chroma");
    QTest::addColumn<JpegPixels>("pixels");

    // Saturated primaries catch a channel order mix-up, white and black a
    // range or offset fault, the palette rows a wrong colour map.
    const QColor colours[] = {QColor(230, 20, 20), QColor(20, 200, 40), QColor(25, 40, 220), Qt::white, Qt::black};
    for (const QColor &colour : colours) {
        const QByteArray name = colour.name().toLatin1();
        QTest::newRow(name + " full 24") << colour << pnv::ChromaSampling::Full << JpegPixels::Rgb24;
        QTest::newRow(name + " halved 24") << colour << pnv::ChromaSampling::Halved << JpegPixels::Rgb24;
        QTest::newRow(name + " halved 8") << colour << pnv::ChromaSampling::Halved << JpegPixels::Indexed8;
    }
}

void TestJpegDecoder::solidColoursSurviveDecoding()
{
    QFETCH(QColor, colour);
    QFETCH(pnv::ChromaSampling, chroma);
    QFETCH(JpegPixels, pixels);
    QImage solid(24, 16, QImage::Format_RGB32);
    solid.fill(colour);

    // The palette is chosen from a histogram of 5-6-5 bits, so its entries
    // may sit a few levels off; the full-colour path has only rounding.
    const int tolerance = pixels == JpegPixels::Rgb24 ? 3 : 6;
    const QImage decoded = pnv::decodeJpeg(encoded(solid, chroma, false, false, 100), pixels);
    QCOMPARE(decoded.size(), solid.size());
    QCOMPARE(decoded.format(), pixels == JpegPixels::Rgb24 ? QImage::Format_RGB888 : QImage::Format_Indexed8);
    for (int y = 0; y < decoded.height(); ++y) {
        for (int x = 0; x < decoded.width(); ++x) {
            const QColor got = decoded.pixelColor(x, y);
            if (qAbs(got.red() - colour.red()) > tolerance || qAbs(got.green() - colour.green()) > tolerance
                || qAbs(got.blue() - colour.blue()) > tolerance) {
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3, expected about %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(got.name(), colour.name())));
            }
        }
    }
}

void TestJpegDecoder::progressiveDecodesLikeBaseline()
{
    // Both codings carry the same quantised coefficients, so the pixels must
    // be identical, not merely close.
    const QImage scene = testScene();
    const QImage baseline = pnv::decodeJpeg(encoded(scene), JpegPixels::Rgb24);
    const QImage progressive =
        pnv::decodeJpeg(encoded(scene, pnv::ChromaSampling::Halved, false, true), JpegPixels::Rgb24);
    QCOMPARE(progressive, baseline);
}

void TestJpegDecoder::grayscaleDecodesToGrey()
{
    QImage ramp(64, 8, QImage::Format_RGB32);
    for (int x = 0; x < ramp.width(); ++x) {
        for (int y = 0; y < ramp.height(); ++y)
            ramp.setPixel(x, y, qRgb(x * 4, x * 4, x * 4));
    }
    // Both pixel formats must keep the greys grey: an 8-bit display gets a
    // palette of greys, not colours picked by the colour quantiser.
    const QByteArray jpeg = encoded(ramp, pnv::ChromaSampling::Full, true, false, 100);
    for (const JpegPixels pixels : {JpegPixels::Rgb24, JpegPixels::Indexed8}) {
        const QImage decoded = pnv::decodeJpeg(jpeg, pixels);
        for (int x = 0; x < decoded.width(); ++x) {
            const QRgb p = decoded.pixel(x, 4);
            QCOMPARE(qRed(p), qGreen(p));
            QCOMPARE(qGreen(p), qBlue(p));
            QVERIFY2(qAbs(qRed(p) - x * 4) <= 2, qPrintable(QString::number(x)));
        }
    }
}

void TestJpegDecoder::palettePicturesStayCloseToFullColour_data()
{
    QTest::addColumn<QString>("fileName");
    for (const char *name : {"reset-step1.jpg", "reset-step2.jpg", "reset-step3.jpg", "reset-step4.jpg"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestJpegDecoder::palettePicturesStayCloseToFullColour()
{
    QFETCH(QString, fileName);
    const QByteArray jpeg = readCommittedFile(fileName);
    const QImage full = pnv::decodeJpeg(jpeg, JpegPixels::Rgb24);
    const QImage indexed = pnv::decodeJpeg(jpeg, JpegPixels::Indexed8);
    QCOMPARE(indexed.format(), QImage::Format_Indexed8);
    QCOMPARE(indexed.size(), full.size());
    QVERIFY(indexed.colorCount() > 16);
    QVERIFY(indexed.colorCount() <= 256);
    const double difference = meanChannelDifference(indexed, full);
    QVERIFY2(difference < 4.0, qPrintable(QString::number(difference)));
}

void TestJpegDecoder::applicationSegmentsAreIgnored()
{
    const QByteArray jpeg = readCommittedFile("reset-step2.jpg");
    const QByteArray withExif = withExifSegment(jpeg);
    QVERIFY(segmentOffset(withExif, 0xE1) > 0);
    QCOMPARE(pnv::decodeJpeg(withExif, JpegPixels::Rgb24), pnv::decodeJpeg(jpeg, JpegPixels::Rgb24));
}

void TestJpegDecoder::refusals_data()
{
    QTest::addColumn<QByteArray>("jpeg");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("atHeader");

    const QByteArray good = readCommittedFile("reset-step2.jpg");
    const int sof = startOfFrame(good);
    QVERIFY(sof > 0);
    QTest::newRow("empty") << QByteArray() << int(JERR_INPUT_EMPTY) << true;
    QTest::newRow("not a JPEG") << withByte(good, 1, 0x00) << int(JERR_NO_SOI) << true;
    QTest::newRow("cut inside the header") << good.left(sof + 6) << int(JWRN_JPEG_EOF) << true;
    QTest::newRow("12-bit samples") << withByte(good, sof + FramePrecision, 12) << int(JERR_BAD_PRECISION) << true;
    QTest::newRow("zero width") << withFrameSize(good, 0, 419) << int(JERR_EMPTY_IMAGE) << true;
    QTest::newRow("cut inside the scan") << good.left(good.size() / 2) << int(JWRN_JPEG_EOF) << false;
    QTest::newRow("undefined quantisation table")
        << withByte(good, sof + FirstComponentQuantTable, 3) << int(JERR_NO_QUANT_TABLE) << false;
    QTest::newRow("claims 65000 x 65000 pixels")
        << withFrameSize(good, 65000, 65000) << int(JERR_IMAGE_TOO_BIG) << false;
}

void TestJpegDecoder::refusals()
{
    QFETCH(QByteArray, jpeg);
    QFETCH(int, code);
    QFETCH(bool, atHeader);

    const std::optional<int> headerRefusal = refusalCode([&] { pnv::readJpegHeader(jpeg); });
    const std::optional<int> decodeRefusal = refusalCode([&] { pnv::decodeJpeg(jpeg, JpegPixels::Rgb24); });
    if (atHeader) {
        QCOMPARE(headerRefusal, std::optional<int>(code));
    } else {
        QCOMPARE(headerRefusal, std::nullopt);
    }
    // Decoding reads the header first, so it refuses in either case, and the
    // palette path must refuse the same way.
    QCOMPARE(decodeRefusal, std::optional<int>(code));
    QCOMPARE(refusalCode([&] { pnv::decodeJpeg(jpeg, JpegPixels::Indexed8); }), std::optional<int>(code));
}

QTEST_GUILESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
