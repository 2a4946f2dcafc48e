#pragma once
// Writes pictures as baseline JFIF files with libjpeg, with the settings the
// reset page's pictures need spelled out rather than left to a library's
// defaults: 8 bits, YCbCr, the JFIF density, the chroma sampling.

#include <QByteArray>
#include <QImage>

namespace pnv {

enum class ChromaSampling {
    Full,  // 1x1: every pixel keeps its own colour; sharp red outlines
    Halved // 2x2: chroma halved in both directions
};

struct JpegWriteOptions {
    int quality = 90;
    ChromaSampling chroma = ChromaSampling::Halved;
    int densityDpi = 96;
    bool grayscale = false;   // one component instead of YCbCr
    bool progressive = false; // for test pictures; the artwork is baseline
};

// Throws AppError when libjpeg refuses; the compressor is always destroyed.
QByteArray encodeJpeg(const QImage &image, const JpegWriteOptions &options);

} // namespace pnv
