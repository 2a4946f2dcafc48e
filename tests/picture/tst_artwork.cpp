// The artwork program's output, read back with libjpeg: baseline, 8 bits,
// YCbCr, 96 dpi, the chroma sampling of each picture, the picture sizes, and
// what each page box shows of its picture. Also the icon at the window's size
// and the desktop's, and that the committed files are what the program draws
// today.

#include "JpegDecoder.h"
#include "JpegErrorTrap.h"
#include "JpegTestFiles.h"
#include "JpegWriter.h"
#include "ResetArtwork.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <jerror.h>

using namespace pnv::test;

namespace {

struct FrameFacts {
    int sofMarker = 0;
    int precision = 0;
    int components = 0;
    J_COLOR_SPACE colourSpace = JCS_UNKNOWN;
    bool jfif = false;
    int densityUnit = -1;
    int xDensity = 0;
    int yDensity = 0;
    QList<QPair<int, int>> sampling;
};

struct Reading {
    jpeg_decompress_struct cinfo{};
    pnv::JpegErrorTrap trap;
    const QByteArray *jpeg = nullptr;
};

FrameFacts factsOf(const QByteArray &jpeg)
{
    FrameFacts facts;
    for (int marker : {0xC0, 0xC1, 0xC2, 0xC3, 0xC9, 0xCA}) {
        if (segmentOffset(jpeg, quint8(marker)) > 0)
            facts.sofMarker = marker;
    }
    Reading r;
    r.jpeg = &jpeg;
    r.cinfo.err = pnv::installJpegErrorTrap(r.trap);
    const bool read = pnv::runTrapped(
        r.trap,
        [](void *context) {
            auto *reading = static_cast<Reading *>(context);
            jpeg_create_decompress(&reading->cinfo);
            jpeg_mem_src(&reading->cinfo, reinterpret_cast<const unsigned char *>(reading->jpeg->constData()),
                         static_cast<unsigned long>(reading->jpeg->size()));
            jpeg_read_header(&reading->cinfo, TRUE);
        },
        &r);
    if (read) {
        const jpeg_decompress_struct &c = r.cinfo;
        facts.precision = c.data_precision;
        facts.components = c.num_components;
        facts.colourSpace = c.jpeg_color_space;
        facts.jfif = c.saw_JFIF_marker;
        facts.densityUnit = c.density_unit;
        facts.xDensity = c.X_density;
        facts.yDensity = c.Y_density;
        for (int i = 0; i < c.num_components; ++i)
            facts.sampling.append({c.comp_info[i].h_samp_factor, c.comp_info[i].v_samp_factor});
    }
    jpeg_destroy_decompress(&r.cinfo);
    return facts;
}

// White up to the faint tint that halved chroma smears one column into a
// white margin; the lightest colour drawn, the bench (223, 227, 230), is not.
bool isWhite(QRgb pixel)
{
    return (255 - qRed(pixel)) + (255 - qGreen(pixel)) + (255 - qBlue(pixel)) <= 45;
}

bool columnIsWhite(const QImage &image, int x, int height)
{
    for (int y = 0; y < height; ++y) {
        if (!isWhite(image.pixel(x, y)))
            return false;
    }
    return true;
}

bool rowIsWhite(const QImage &image, int y, int width)
{
    for (int x = 0; x < width; ++x) {
        if (!isWhite(image.pixel(x, y)))
            return false;
    }
    return true;
}

// How many columns at the box's right edge, and rows at its bottom edge, show
// nothing but white.
int whiteColumnsAtRight(const QImage &image, QSize box)
{
    int count = 0;
    while (count < box.width() && columnIsWhite(image, box.width() - 1 - count, box.height()))
        ++count;
    return count;
}

int whiteRowsAtBottom(const QImage &image, QSize box)
{
    int count = 0;
    while (count < box.height() && rowIsWhite(image, box.height() - 1 - count, box.width()))
        ++count;
    return count;
}

const char *const outputNames[] = {"reset-step1.jpg",
                                   "reset-step2.jpg",
                                   "reset-step3.jpg",
                                   "reset-step4.jpg",
                                   "app-icon.png",
                                   "icons/pnv3400-setup-16.png",
                                   "icons/pnv3400-setup-32.png",
                                   "icons/pnv3400-setup-48.png",
                                   "icons/pnv3400-setup-64.png",
                                   "icons/pnv3400-setup-128.png",
                                   "icons/pnv3400-setup-256.png"};

} // namespace

class TestArtwork final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void codingOfThePictures_data();
    void codingOfThePictures();
    void whatEachBoxShows_data();
    void whatEachBoxShows();
    void icon_data();
    void icon();
    void drawsTheCommittedFilesByteForByte();
    void refusesAMissingFolder();

private:
    QByteArray output(const char *name) const;
    int runArtwork(const QStringList &arguments, QString *errors = nullptr) const;

    QTemporaryDir m_out;
};

int TestArtwork::runArtwork(const QStringList &arguments, QString *errors) const
{
    QProcess artwork;
    artwork.start(qEnvironmentVariable("PNV_BIN_DIR") + "/pnv3400-artwork", arguments);
    if (!artwork.waitForFinished(60000)) {
        artwork.kill();
        artwork.waitForFinished(5000);
        return -1;
    }
    if (errors)
        *errors = QString::fromLocal8Bit(artwork.readAllStandardError());
    return artwork.exitStatus() == QProcess::NormalExit ? artwork.exitCode() : -1;
}

QByteArray TestArtwork::output(const char *name) const
{
    QFile file(m_out.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestArtwork::initTestCase()
{
    QVERIFY(m_out.isValid());
    QCOMPARE(runArtwork({m_out.path()}), 0);
}

void TestArtwork::codingOfThePictures_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("lumaSampling"); // chroma is always 1x1 against it
    // Each box in whole coding blocks: 8 pixels, 16 where chroma is halved.
    QTest::newRow("step 1") << "reset-step1.jpg" << QSize(184, 200) << 1;
    QTest::newRow("step 2") << "reset-step2.jpg" << QSize(192, 80) << 2;
    QTest::newRow("step 3") << "reset-step3.jpg" << QSize(192, 80) << 2;
    QTest::newRow("step 4") << "reset-step4.jpg" << QSize(128, 208) << 2;
}

void TestArtwork::codingOfThePictures()
{
    QFETCH(QString, fileName);
    QFETCH(QSize, size);
    QFETCH(int, lumaSampling);
    const QByteArray jpeg = output(qPrintable(fileName));
    QVERIFY(!jpeg.isEmpty());
    QVERIFY(jpeg.startsWith("\xFF\xD8"));
    QVERIFY(jpeg.endsWith("\xFF\xD9"));

    const FrameFacts facts = factsOf(jpeg);
    QCOMPARE(facts.sofMarker, 0xC0); // baseline
    QCOMPARE(facts.precision, 8);
    QCOMPARE(facts.components, 3);
    QCOMPARE(facts.colourSpace, JCS_YCbCr);
    QVERIFY(facts.jfif);
    QCOMPARE(facts.densityUnit, 1); // dots per inch
    QCOMPARE(facts.xDensity, 96);
    QCOMPARE(facts.yDensity, 96);
    const QList<QPair<int, int>> sampling = {{lumaSampling, lumaSampling}, {1, 1}, {1, 1}};
    QCOMPARE(facts.sampling, sampling);

    const pnv::JpegHeader header = pnv::readJpegHeader(jpeg);
    QCOMPARE(QSize(header.width, header.height), size);
    QVERIFY(!header.progressive);
}

void TestArtwork::whatEachBoxShows_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QSize>("boxSize");
    QTest::addColumn<int>("whiteColumns");
    QTest::addColumn<int>("whiteRows");
    QTest::addColumn<bool>("runsBelowTheBox");
    QTest::addColumn<QSize>("earlierSize"); // the whole canvas once stored

    // Step 1 is cut at the right and the bottom; step 2 fills its box and is
    // cut below; step 3 leaves a narrow white strip at the right and is cut
    // below; step 4 is seen whole with a margin of two pixels.
    QTest::newRow("step 1") << "reset-step1.jpg" << QSize(177, 193) << 0 << 0 << true << QSize(640, 512);
    QTest::newRow("step 2") << "reset-step2.jpg" << QSize(177, 65) << 0 << 0 << true << QSize(1393, 419);
    QTest::newRow("step 3") << "reset-step3.jpg" << QSize(185, 65) << 5 << 0 << true << QSize(1368, 418);
    QTest::newRow("step 4") << "reset-step4.jpg" << QSize(126, 201) << 2 << 2 << false << QSize(823, 868);
}

void TestArtwork::whatEachBoxShows()
{
    QFETCH(QString, fileName);
    QFETCH(QSize, boxSize);
    QFETCH(int, whiteColumns);
    QFETCH(int, whiteRows);
    QFETCH(bool, runsBelowTheBox);
    QFETCH(QSize, earlierSize);
    const QImage picture = pnv::decodeJpeg(output(qPrintable(fileName)), pnv::JpegPixels::Rgb24);

    // The stored picture is cut down to its box, yet the box shows, pixel for
    // pixel, what the same drawing on the whole canvas once stored showed.
    const auto drawn = std::find_if(pnv::resetPictures().begin(), pnv::resetPictures().end(),
                                    [&](const pnv::ArtworkPicture &p) { return p.fileName == fileName; });
    QVERIFY(drawn != pnv::resetPictures().end());
    pnv::ArtworkPicture onEarlierCanvas = *drawn;
    onEarlierCanvas.pictureSize = earlierSize;
    pnv::JpegWriteOptions options;
    options.chroma = drawn->chroma;
    const QImage earlier = pnv::decodeJpeg(pnv::encodeJpeg(drawn->draw(onEarlierCanvas), options),
                                           pnv::JpegPixels::Rgb24);
    QCOMPARE(earlier.size(), earlierSize);
    QVERIFY(picture.width() < earlierSize.width() && picture.height() < earlierSize.height());
    const QRect box(QPoint(0, 0), boxSize);
    QCOMPARE(picture.copy(box), earlier.copy(box));

    QCOMPARE(whiteColumnsAtRight(picture, boxSize), whiteColumns);
    QCOMPARE(whiteRowsAtBottom(picture, boxSize), whiteRows);
    QCOMPARE(!rowIsWhite(picture, boxSize.height(), boxSize.width()), runsBelowTheBox);

    // Beyond the illustration (a block's worth past the box) the picture is
    // plain white.
    const QRect corner(0, 0, boxSize.width() + 16, boxSize.height() + 16);
    for (int y = 0; y < picture.height(); y += 3) {
        for (int x = 0; x < picture.width(); x += 3) {
            if (!corner.contains(x, y) && !isWhite(picture.pixel(x, y)))
                QFAIL(qPrintable(QStringLiteral("not white at %1,%2").arg(x).arg(y)));
        }
    }
}

void TestArtwork::icon_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("size");
    QTest::newRow("window") << "app-icon.png" << 80;
    for (int size : {16, 32, 48, 64, 128, 256})
        QTest::newRow(qPrintable(QStringLiteral("desktop %1").arg(size)))
            << QStringLiteral("icons/pnv3400-setup-%1.png").arg(size) << size;
}

void TestArtwork::icon()
{
    QFETCH(QString, fileName);
    QFETCH(int, size);
    const QByteArray png = output(qPrintable(fileName));
    // IHDR: 8 bits per sample, colour type 2 (RGB): 24-bit colour, no alpha
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(int(png.at(24)), 8);
    QCOMPARE(int(png.at(25)), 2);
    QImage icon;
    QVERIFY(icon.loadFromData(png, "PNG"));
    QCOMPARE(icon.size(), QSize(size, size));
    // blue lettering and a red mark on white, in the proportions of the
    // 80 x 80 drawing (more than 300 blue and 50 red pixels of 6400)
    const int area = size * size;
    int white = 0, blue = 0, red = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QColor c = icon.pixelColor(x, y);
            white += isWhite(c.rgb());
            blue += c.blue() > 150 && c.red() < 80 && c.green() < 120;
            red += c.red() > 200 && c.green() < 60 && c.blue() < 60;
        }
    }
    const QString counts = QStringLiteral("white %1 blue %2 red %3").arg(white).arg(blue).arg(red);
    QVERIFY2(white > area / 2, qPrintable(counts));
    QVERIFY2(blue * 6400 > 300 * area, qPrintable(counts));
    QVERIFY2(red * 6400 > 50 * area && red < blue, qPrintable(counts));
}

void TestArtwork::drawsTheCommittedFilesByteForByte()
{
    // A second run must give the same bytes, and those must be the files
    // committed in resources/: otherwise someone changed the drawing without
    // redrawing, or the output depends on something it should not.
    QTemporaryDir again;
    QVERIFY(again.isValid());
    QCOMPARE(runArtwork({again.path()}), 0);
    for (const char *name : outputNames) {
        QFile second(again.filePath(name));
        QVERIFY(second.open(QIODevice::ReadOnly));
        const QByteArray drawn = output(name);
        QVERIFY2(second.readAll() == drawn, name);
        QVERIFY2(readCommittedFile(name) == drawn, name);
    }
}

void TestArtwork::refusesAMissingFolder()
{
    QString errors;
    QCOMPARE(runArtwork({m_out.filePath("no/such/folder")}, &errors), 1);
    QVERIFY2(errors.contains("No such folder"), qPrintable(errors));
    QCOMPARE(runArtwork({}), 2);
}

QTEST_MAIN(TestArtwork) // drawing the pictures again needs fonts
#include "tst_artwork.moc"
