// The picture class registry and the stored form of a picture: the class
// name looked up, the byte count read little-endian, and every malformed
// stored form refused with a clear error and without reading past its end.

#include "JpegError.h"
#include "JpegTestFiles.h"
#include "PictureClasses.h"
#include "StoredPicture.h"
#include "TJPEGImage.h"

#include <QtTest>

#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
#include <optional>

using namespace pnv::test;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray jpegClassName()
{
    return bytes({10}) + QByteArray("TJPEGImage");
}

std::optional<QString> refusal(const QByteArray &stored, const pnv::PictureClassRegistry &registry)
{
    try {
        pnv::readStoredPicture(stored, registry);
    } catch (const pnv::StoredPictureError &error) {
        return error.message();
    }
    return std::nullopt;
}

} // namespace

class TestStoredPicture final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void lookup_data();
    void lookup();
    void registeringAgainReplaces();
    void startUpRegistrationFillsTheSharedRegistry();
    void storedFormLayout();
    void byteCountIsLittleEndian();
    void readsTheStoredPictures_data();
    void readsTheStoredPictures();
    void malformedStoredForms_data();
    void malformedStoredForms();
    void refusedPictureBytesKeepTheirJpegError();

private:
    pnv::PictureClassRegistry m_registry;
};

void TestStoredPicture::init()
{
    m_registry = {};
    pnv::registerJpegPictureClass(m_registry);
}

void TestStoredPicture::lookup_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("byName");
    QTest::addColumn<bool>("found");

    QTest::newRow("class name") << "TJPEGImage" << true << true;
    QTest::newRow("class name in other case") << "tjpegimage" << true << false;
    QTest::newRow("unknown class") << "TBitmap" << true << false;
    QTest::newRow("jpg") << "jpg" << false << true;
    QTest::newRow("jpeg") << "jpeg" << false << true;
    QTest::newRow("upper-case JPG") << "JPG" << false << true;
    QTest::newRow("with its dot") << ".jpeg" << false << true;
    QTest::newRow("jpe is not registered") << "jpe" << false << false;
    QTest::newRow("bmp") << "bmp" << false << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("dot alone") << "." << false << false;
}

void TestStoredPicture::lookup()
{
    QFETCH(QString, key);
    QFETCH(bool, byName);
    QFETCH(bool, found);
    const pnv::PictureClass *entry = byName ? m_registry.findByName(key) : m_registry.findByExtension(key);
    QCOMPARE(entry != nullptr, found);
    if (found) {
        QCOMPARE(entry->className, QStringLiteral("TJPEGImage"));
        QCOMPARE(entry->description, QStringLiteral("JPEG Image File"));
        QVERIFY(dynamic_cast<TJPEGImage *>(entry->create().get()));
    }
}

void TestStoredPicture::registeringAgainReplaces()
{
    pnv::registerJpegPictureClass(m_registry);
    QCOMPARE(m_registry.classes().size(), size_t(1));
    m_registry.add({"TJPEGImage", "Other", {"jfif"}, [] { return std::make_unique<TJPEGImage>(); }});
    QCOMPARE(m_registry.classes().size(), size_t(1));
    QVERIFY(m_registry.findByExtension("jfif"));
    QVERIFY(!m_registry.findByExtension("jpg"));
}

void TestStoredPicture::startUpRegistrationFillsTheSharedRegistry()
{
    pnv::registerPictureClasses();
    pnv::registerPictureClasses();
    QCOMPARE(pnv::pictureClasses().classes().size(), size_t(1));
    QVERIFY(pnv::pictureClasses().findByName("TJPEGImage"));
    QVERIFY(pnv::pictureClasses().findByExtension("jpg"));
}

void TestStoredPicture::storedFormLayout()
{
    const QByteArray jpeg = readCommittedFile("reset-step4.jpg");
    const QByteArray stored = pnv::writeStoredPicture("TJPEGImage", jpeg);
    QCOMPARE(stored.size(), 1 + 10 + 4 + jpeg.size());
    QCOMPARE(stored.left(11), jpegClassName());
    QCOMPARE(qFromLittleEndian<quint32>(stored.constData() + 11), quint32(jpeg.size()));
    QCOMPARE(stored.mid(15), jpeg);
}

void TestStoredPicture::byteCountIsLittleEndian()
{
    // 0x00010203 bytes would be 0x03020100 read the other way round.
    const QByteArray payload(0x00010203, 'x');
    const QByteArray stored = pnv::writeStoredPicture("TJPEGImage", payload);
    QCOMPARE(stored.mid(11, 4), bytes({0x03, 0x02, 0x01, 0x00}));
}

void TestStoredPicture::readsTheStoredPictures_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QSize>("size");
    QTest::newRow("step 1") << "reset-step1.jpg" << QSize(184, 200);
    QTest::newRow("step 2") << "reset-step2.jpg" << QSize(192, 80);
    QTest::newRow("step 3") << "reset-step3.jpg" << QSize(192, 80);
    QTest::newRow("step 4") << "reset-step4.jpg" << QSize(128, 208);
}

void TestStoredPicture::readsTheStoredPictures()
{
    QFETCH(QString, fileName);
    QFETCH(QSize, size);
    const QByteArray jpeg = readCommittedFile(fileName);
    const auto picture = pnv::readStoredPicture(pnv::writeStoredPicture("TJPEGImage", jpeg), m_registry);
    auto *image = dynamic_cast<TJPEGImage *>(picture.get());
    QVERIFY(image);
    QCOMPARE(image->size(), size);
    QCOMPARE(image->data(), jpeg);
    QCOMPARE(image->decodeCount(), 0);
}

void TestStoredPicture::malformedStoredForms_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("message");

    const QByteArray jpeg = readCommittedFile("reset-step2.jpg");
    const QByteArray good = pnv::writeStoredPicture("TJPEGImage", jpeg);
    const QByteArray count = good.mid(11, 4);
    const QString cutName = "Stored picture is cut short in its class name";
    const QString cutCount = "Stored picture is cut short in its byte count";

    QTest::newRow("empty") << QByteArray() << cutName;
    QTest::newRow("name length only") << bytes({10}) << cutName;
    QTest::newRow("name cut") << good.left(6) << cutName;
    QTest::newRow("name length 255, little data") << bytes({255}) + QByteArray("TJPEGImage") << cutName;
    QTest::newRow("unknown class") << bytes({7}) + QByteArray("TBitmap") + count + jpeg
                                   << "Stored picture names an unregistered picture class 'TBitmap'";
    QTest::newRow("name length off by one") << bytes({9}) + QByteArray("TJPEGImage") + count + jpeg
                                            << "Stored picture names an unregistered picture class 'TJPEGImag'";
    QTest::newRow("no byte count") << jpegClassName() << cutCount;
    QTest::newRow("byte count cut") << good.left(13) << cutCount;
    QTest::newRow("data cut by one") << good.left(good.size() - 1)
                                     << QStringLiteral("Stored picture is cut short: %1 of %2 picture bytes present")
                                            .arg(jpeg.size() - 1)
                                            .arg(jpeg.size());
    QTest::newRow("count of 4 GB - 1") << jpegClassName() + bytes({0xFF, 0xFF, 0xFF, 0xFF}) + jpeg
                                       << QStringLiteral("Stored picture is cut short: %1 of 4294967295 picture "
                                                         "bytes present")
                                              .arg(jpeg.size());
    QTest::newRow("count read big-endian would fit")
        << jpegClassName() + bytes({0x00, 0x00, 0x00, 0x10}) + QByteArray(16, 'x')
        << "Stored picture is cut short: 16 of 268435456 picture bytes present";
    QTest::newRow("bytes after the picture") << good + QByteArray(3, '\0')
                                             << "Stored picture has 3 bytes after its picture data";
}

void TestStoredPicture::malformedStoredForms()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, message);
    // A detached copy of exactly the stored bytes, so AddressSanitizer sees
    // any read past them.
    const QByteArray exact(stored.constData(), stored.size());
    QCOMPARE(refusal(exact, m_registry), std::optional<QString>(message));
}

void TestStoredPicture::refusedPictureBytesKeepTheirJpegError()
{
    const QByteArray notJpeg("this is no picture");
    try {
        pnv::readStoredPicture(pnv::writeStoredPicture("TJPEGImage", notJpeg), m_registry);
        QFAIL("a stored picture that is no JPEG was accepted");
    } catch (const pnv::JpegError &error) {
        QCOMPARE(error.messageCode(), int(JERR_NO_SOI));
        QCOMPARE(error.message(), QStringLiteral("JPEG error #%1").arg(JERR_NO_SOI));
    }
}

QTEST_GUILESS_MAIN(TestStoredPicture)
#include "tst_storedpicture.moc"
