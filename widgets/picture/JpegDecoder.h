#pragma once
// Reading JPEG files held in memory with libjpeg: the header alone, or the
// whole picture at full size. Both throw pnv::JpegError when libjpeg refuses
// the data; the decompressor is destroyed on every path.

#include <QByteArray>
#include <QImage>

namespace pnv {

struct JpegHeader {
    int width = 0;
    int height = 0;
    bool grayscale = false;
    bool progressive = false;
};

enum class JpegPixels {
    Rgb24,   // QImage::Format_RGB888
    Indexed8 // QImage::Format_Indexed8 with at most 256 palette entries
};

// Larger pictures are refused before any pixel memory is taken: a damaged or
// hostile header can claim 65500 x 65500 pixels, 12 GB of bitmap.
inline constexpr qint64 maxDecodedPixels = qint64(64) * 1024 * 1024;

JpegHeader readJpegHeader(const QByteArray &jpeg);

QImage decodeJpeg(const QByteArray &jpeg, JpegPixels pixels);

} // namespace pnv
