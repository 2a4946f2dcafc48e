#include "JpegWriter.h"

#include "AppError.h"
#include "JpegErrorTrap.h"

#include <cstdlib>
#include <jerror.h>

namespace pnv {
namespace {

// A growing memory destination whose buffer stays ours on every path.
// libjpeg's own jpeg_mem_dest keeps the latest buffer to itself until the
// compression ends, so an error half-way through would leak it.
struct MemoryDestination {
    jpeg_destination_mgr manager{}; // first member: libjpeg hands us back this address
    unsigned char *buffer = nullptr;
    size_t capacity = 0;
    size_t used = 0;
};

MemoryDestination *destinationOf(j_compress_ptr cinfo)
{
    return reinterpret_cast<MemoryDestination *>(cinfo->dest);
}

void growOrFail(j_compress_ptr cinfo, size_t capacity)
{
    MemoryDestination *d = destinationOf(cinfo);
    auto *grown = static_cast<unsigned char *>(std::realloc(d->buffer, capacity));
    if (!grown) {
        cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
        cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
    }
    d->buffer = grown;
    d->capacity = capacity;
    d->manager.next_output_byte = d->buffer + d->used;
    d->manager.free_in_buffer = d->capacity - d->used;
}

extern "C" void startDestination(j_compress_ptr cinfo)
{
    destinationOf(cinfo)->used = 0;
    growOrFail(cinfo, 64 * 1024);
}

extern "C" boolean emptyDestination(j_compress_ptr cinfo)
{
    MemoryDestination *d = destinationOf(cinfo);
    d->used = d->capacity; // libjpeg calls this only with the buffer full
    growOrFail(cinfo, d->capacity * 2);
    return TRUE;
}

extern "C" void endDestination(j_compress_ptr cinfo)
{
    MemoryDestination *d = destinationOf(cinfo);
    d->used = d->capacity - d->manager.free_in_buffer;
}

struct Encoding {
    jpeg_compress_struct cinfo{};
    JpegErrorTrap trap;
    MemoryDestination destination;
    const QImage *pixels = nullptr; // RGB888 or Grayscale8
    const JpegWriteOptions *options = nullptr;
};

void create(void *context)
{
    auto *e = static_cast<Encoding *>(context);
    jpeg_create_compress(&e->cinfo);
}

void compress(void *context)
{
    auto *e = static_cast<Encoding *>(context);
    jpeg_compress_struct &c = e->cinfo;
    const JpegWriteOptions &o = *e->options;
    e->destination.manager.init_destination = startDestination;
    e->destination.manager.empty_output_buffer = emptyDestination;
    e->destination.manager.term_destination = endDestination;
    c.dest = &e->destination.manager;
    c.image_width = static_cast<JDIMENSION>(e->pixels->width());
    c.image_height = static_cast<JDIMENSION>(e->pixels->height());
    c.input_components = o.grayscale ? 1 : 3;
    c.in_color_space = o.grayscale ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, o.quality, TRUE);
    c.dct_method = JDCT_ISLOW; // exact integer transform: the same bytes on every machine
    c.optimize_coding = TRUE;  // still baseline; only the Huffman tables are tuned
    c.write_JFIF_header = TRUE;
    c.density_unit = 1; // dots per inch
    c.X_density = static_cast<UINT16>(o.densityDpi);
    c.Y_density = static_cast<UINT16>(o.densityDpi);
    if (!o.grayscale) {
        const int luma = o.chroma == ChromaSampling::Full ? 1 : 2;
        c.comp_info[0].h_samp_factor = luma;
        c.comp_info[0].v_samp_factor = luma;
        for (int i = 1; i < 3; ++i) {
            c.comp_info[i].h_samp_factor = 1;
            c.comp_info[i].v_samp_factor = 1;
        }
    }
    if (o.progressive)
        jpeg_simple_progression(&c);

    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(e->pixels->constScanLine(static_cast<int>(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
}

} // namespace

QByteArray encodeJpeg(const QImage &image, const JpegWriteOptions &options)
{
    const QImage pixels = image.convertToFormat(options.grayscale ? QImage::Format_Grayscale8
                                                                  : QImage::Format_RGB888);
    Encoding e;
    e.pixels = &pixels;
    e.options = &options;
    e.cinfo.err = installJpegErrorTrap(e.trap);
    const bool done = runTrapped(e.trap, create, &e) && runTrapped(e.trap, compress, &e);
    jpeg_destroy_compress(&e.cinfo);
    QByteArray bytes;
    if (done)
        bytes = QByteArray(reinterpret_cast<const char *>(e.destination.buffer),
                           static_cast<qsizetype>(e.destination.used));
    std::free(e.destination.buffer);
    if (!done)
        throw AppError(QStringLiteral("JPEG error #%1").arg(e.trap.messageCode));
    return bytes;
}

} // namespace pnv
