#pragma once
// A JPEG picture that keeps its compressed bytes and reads only their header
// when loaded. The pixels are decoded once, at full size, the first time the
// picture is drawn, and that bitmap serves every later draw.

#include "JpegDecoder.h"
#include "TGraphic.h"

#include <QImage>

class TJPEGImage final : public TGraphic {
public:
    TJPEGImage() = default;

    void loadFromBytes(const QByteArray &bytes) override;
    QSize size() const override;
    void draw(QPainter &painter, int screenDepth) override;

    // The bitmap, decoding it first if this is the first use: 24 bits per
    // pixel, or 8 bits with a palette when the display has 8 bits per pixel
    // or fewer. Throws pnv::JpegError when libjpeg refuses the data; a later
    // call then tries again.
    const QImage &bitmap(int screenDepth);

    const QByteArray &data() const { return m_data; }
    const pnv::JpegHeader &header() const { return m_header; }
    bool isGrayscale() const { return m_header.grayscale; }
    bool isProgressive() const { return m_header.progressive; }
    bool isDecoded() const { return !m_bitmap.isNull(); }
    // How many full decodes this picture has run since it was loaded.
    int decodeCount() const { return m_decodeCount; }

private:
    QByteArray m_data;
    pnv::JpegHeader m_header;
    QImage m_bitmap;
    int m_decodeCount = 0;
};
