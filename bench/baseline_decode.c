/* The floor for decoding a picture: plain libjpeg from memory into 24-bit
 * rows, with the library's default error manager and no checks beyond its own. */
#include <stdio.h>
#include <stdlib.h>

#include <jpeglib.h>

#include "baseline_decode.h"

size_t plain_libjpeg_decode(const unsigned char *data, size_t size)
{
    struct jpeg_decompress_struct cinfo;
    struct jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, (unsigned long)size);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const size_t stride = (size_t)cinfo.output_width * 3;
    unsigned char *pixels = malloc(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    const size_t bytes = stride * cinfo.output_height;
    free(pixels);
    return bytes;
}
