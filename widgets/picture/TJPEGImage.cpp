#include "TJPEGImage.h"

#include <QPaintDevice>
#include <QPainter>

namespace {

// The part of a 24-bit bitmap that lands on the device from (0, 0), as 32-bit
// pixels. Qt would convert it itself while drawing, but hands that to a pool
// of two threads, each with its own stack and memory arena, for a picture of
// a few hundred rows; this does it in place, only for what is seen.
QImage seenPartAs32Bit(const QImage &rgb888, const QPaintDevice &device)
{
    const QSize seen = rgb888.size().boundedTo(QSize(device.width(), device.height()));
    QImage rgb32(seen, QImage::Format_RGB32);
    for (int y = 0; y < seen.height(); ++y) {
        const uchar *in = rgb888.constScanLine(y);
        auto *out = reinterpret_cast<QRgb *>(rgb32.scanLine(y));
        for (int x = 0; x < seen.width(); ++x, in += 3)
            out[x] = qRgb(in[0], in[1], in[2]);
    }
    return rgb32;
}

} // namespace

void TJPEGImage::loadFromBytes(const QByteArray &bytes)
{
    m_data.clear();
    m_header = {};
    m_bitmap = QImage();
    m_decodeCount = 0;
    const pnv::JpegHeader header = pnv::readJpegHeader(bytes);
    m_data = bytes;
    m_header = header;
}

QSize TJPEGImage::size() const
{
    return {m_header.width, m_header.height};
}

const QImage &TJPEGImage::bitmap(int screenDepth)
{
    if (m_bitmap.isNull() && !m_data.isEmpty()) {
        ++m_decodeCount;
        m_bitmap = pnv::decodeJpeg(m_data, screenDepth <= 8 ? pnv::JpegPixels::Indexed8
                                                            : pnv::JpegPixels::Rgb24);
    }
    return m_bitmap;
}

void TJPEGImage::draw(QPainter &painter, int screenDepth)
{
    const QImage &pixels = bitmap(screenDepth);
    if (pixels.format() == QImage::Format_RGB888 && painter.device())
        painter.drawImage(QPoint(0, 0), seenPartAs32Bit(pixels, *painter.device()));
    else if (!pixels.isNull())
        painter.drawImage(QPoint(0, 0), pixels);
}
