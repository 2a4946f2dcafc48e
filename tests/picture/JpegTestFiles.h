#pragma once
// Helpers for the picture tests: the committed pictures, and finding and
// damaging the marker segments of a JPEG file.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtTest>

namespace pnv::test {

inline QString committedPicturePath(const QString &fileName)
{
    return QStringLiteral(PNV_RESOURCES_DIR "/") + fileName;
}

inline QByteArray readCommittedFile(const QString &fileName)
{
    QFile file(committedPicturePath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

// The offset of the first marker segment with this marker code (0xFF at the
// offset), walking the segments from the start-of-image marker up to the
// start of the scan. -1 when there is none.
inline int segmentOffset(const QByteArray &jpeg, quint8 marker)
{
    int at = 2; // past SOI
    while (at + 4 <= jpeg.size() && quint8(jpeg.at(at)) == 0xFF) {
        const quint8 code = quint8(jpeg.at(at + 1));
        if (code == marker)
            return at;
        if (code == 0xDA)
            return -1;
        const int length = (quint8(jpeg.at(at + 2)) << 8) | quint8(jpeg.at(at + 3));
        at += 2 + length;
    }
    return -1;
}

inline int startOfFrame(const QByteArray &jpeg)
{
    return segmentOffset(jpeg, 0xC0);
}

inline QByteArray withByte(QByteArray jpeg, int offset, quint8 value)
{
    jpeg[offset] = char(value);
    return jpeg;
}

// Frame header fields, counted from the frame marker's 0xFF.
enum FrameField { FramePrecision = 4, FrameHeight = 5, FrameWidth = 7, FirstComponentQuantTable = 12 };

inline QByteArray withFrameSize(const QByteArray &jpeg, int width, int height)
{
    QByteArray out = jpeg;
    const int sof = startOfFrame(jpeg);
    out[sof + FrameHeight] = char(height >> 8);
    out[sof + FrameHeight + 1] = char(height & 0xFF);
    out[sof + FrameWidth] = char(width >> 8);
    out[sof + FrameWidth + 1] = char(width & 0xFF);
    return out;
}

// An APP1 segment right after SOI, the way cameras put their Exif data.
inline QByteArray withExifSegment(const QByteArray &jpeg)
{
    QByteArray payload("Exif\0\0MM\0*\0\0\0\x08\0\0", 16);
    QByteArray segment;
    segment.append(char(0xFF)).append(char(0xE1));
    const int length = payload.size() + 2;
    segment.append(char(length >> 8)).append(char(length & 0xFF)).append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// Mean absolute difference per channel of two pictures of the same size.
inline double meanChannelDifference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * x.width() * x.height());
}

} // namespace pnv::test
