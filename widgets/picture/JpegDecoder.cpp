#include "JpegDecoder.h"

#include "JpegError.h"
#include "JpegErrorTrap.h"

#include <jerror.h>

namespace pnv {
namespace {

// Owns one decompressor reading from a memory buffer; every libjpeg call goes
// through run(), so a refusal becomes a JpegError thrown from C++ frames only.
class Decompressor final {
public:
    explicit Decompressor(const QByteArray &jpeg)
        : m_jpeg(jpeg)
    {
        m_cinfo.err = installJpegErrorTrap(m_trap);
        try {
            run([](Decompressor &d) {
                jpeg_create_decompress(&d.m_cinfo);
                jpeg_mem_src(&d.m_cinfo, reinterpret_cast<const unsigned char *>(d.m_jpeg.constData()),
                             static_cast<unsigned long>(d.m_jpeg.size()));
            });
        } catch (...) {
            // No destructor runs for an object whose constructor throws, and
            // jpeg_mem_src refuses an empty buffer after creation succeeded.
            jpeg_destroy_decompress(&m_cinfo);
            throw;
        }
    }

    ~Decompressor()
    {
        // Safe after a failed creation too: libjpeg clears the memory manager
        // pointer first, and destroy skips a decompressor without one.
        jpeg_destroy_decompress(&m_cinfo);
    }

    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;

    // The step must be a capture-less lambda and keep no C++ objects with
    // destructors of its own: a libjpeg failure jumps straight out of it.
    void run(void (*step)(Decompressor &))
    {
        Job job{this, step};
        if (!runTrapped(m_trap, &Job::start, &job))
            throw JpegError(m_trap.messageCode);
    }

    jpeg_decompress_struct &cinfo() { return m_cinfo; }

    QImage *target = nullptr;

private:
    struct Job {
        Decompressor *self;
        void (*step)(Decompressor &);
        static void start(void *context)
        {
            auto *job = static_cast<Job *>(context);
            job->step(*job->self);
        }
    };

    const QByteArray &m_jpeg;
    JpegErrorTrap m_trap;
    jpeg_decompress_struct m_cinfo{};
};

void readHeader(Decompressor &d)
{
    d.run([](Decompressor &self) { jpeg_read_header(&self.cinfo(), TRUE); });
}

QVector<QRgb> paletteOf(const jpeg_decompress_struct &cinfo)
{
    QVector<QRgb> palette(cinfo.actual_number_of_colors);
    const bool gray = cinfo.out_color_components == 1;
    for (int i = 0; i < cinfo.actual_number_of_colors; ++i) {
        const int r = cinfo.colormap[0][i];
        palette[i] = gray ? qRgb(r, r, r) : qRgb(r, cinfo.colormap[1][i], cinfo.colormap[2][i]);
    }
    return palette;
}

QVector<QRgb> greyRamp()
{
    QVector<QRgb> palette(256);
    for (int i = 0; i < 256; ++i)
        palette[i] = qRgb(i, i, i);
    return palette;
}

} // namespace

JpegHeader readJpegHeader(const QByteArray &jpeg)
{
    Decompressor d(jpeg);
    readHeader(d);
    const jpeg_decompress_struct &cinfo = d.cinfo();
    JpegHeader header;
    header.width = static_cast<int>(cinfo.image_width);
    header.height = static_cast<int>(cinfo.image_height);
    header.grayscale = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    header.progressive = cinfo.progressive_mode != FALSE;
    return header;
}

QImage decodeJpeg(const QByteArray &jpeg, JpegPixels pixels)
{
    Decompressor d(jpeg);
    readHeader(d);
    jpeg_decompress_struct &cinfo = d.cinfo();
    // Reported with libjpeg's own number for an image beyond what is decoded,
    // so every picture failure reads "JPEG error #N".
    if (qint64(cinfo.image_width) * qint64(cinfo.image_height) > maxDecodedPixels)
        throw JpegError(JERR_IMAGE_TOO_BIG);

    // A greyscale picture fits 8 bits exactly with a palette of 256 greys;
    // the colour quantiser would tint its greys (its histogram keeps more
    // bits of green than of red and blue).
    const bool greyPalette = pixels == JpegPixels::Indexed8 && cinfo.jpeg_color_space == JCS_GRAYSCALE;
    cinfo.out_color_space = greyPalette ? JCS_GRAYSCALE : JCS_RGB;
    if (pixels == JpegPixels::Indexed8 && !greyPalette) {
        cinfo.quantize_colors = TRUE;
        cinfo.desired_number_of_colors = 256;
    }
    // With two-pass quantisation this reads the whole picture once to choose
    // the palette; the palette is ready when it returns.
    d.run([](Decompressor &self) { jpeg_start_decompress(&self.cinfo()); });

    QImage image(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                 pixels == JpegPixels::Indexed8 ? QImage::Format_Indexed8 : QImage::Format_RGB888);
    if (image.isNull())
        throw JpegError(JERR_OUT_OF_MEMORY);
    if (greyPalette)
        image.setColorTable(greyRamp());
    else if (pixels == JpegPixels::Indexed8)
        image.setColorTable(paletteOf(cinfo));

    d.target = &image;
    d.run([](Decompressor &self) {
        jpeg_decompress_struct &c = self.cinfo();
        while (c.output_scanline < c.output_height) {
            JSAMPROW row = self.target->scanLine(static_cast<int>(c.output_scanline));
            jpeg_read_scanlines(&c, &row, 1);
        }
        jpeg_finish_decompress(&c);
    });
    return image;
}

} // namespace pnv
