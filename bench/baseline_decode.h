#pragma once
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
/* Decodes a JPEG held in memory into 24-bit pixels; returns their byte count. */
size_t plain_libjpeg_decode(const unsigned char *data, size_t size);
#ifdef __cplusplus
}
#endif
