#include "TJPEGImage.h"

#include <QPainter>

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
    if (!pixels.isNull())
        painter.drawImage(QPoint(0, 0), pixels);
}
