/* The five entry points of the encoder device library, with the C calling
 * convention. Every integer is 32-bit and signed.
 *
 *   S_Connect    address: the encoder's dotted IPv4 text, NUL-terminated, in a
 *                16-byte buffer; mode: always 14; port: the encoder's port.
 *                Returns a result code; callers look at its low 8 bits only.
 *   S_Disconnect ends the link. Harmless without one.
 *   ConfigRead   buffer of `capacity` bytes. Returns 26 (or more) with the
 *                configuration reply in bytes 0..25, or 1 with a status code
 *                in byte 0. Any other count is a receive failure.
 *   ConfigWrite  bytes 0..19 of the buffer hold the configuration request.
 *                Returns 1 with the encoder's status code written into
 *                byte 0; any other count reports no outcome.
 *   DLLClose     releases everything the library holds.
 *
 * Result and status codes, the mode and the record sizes are named in
 * tessalin_codes.h.
 */
#ifndef PNV_TESSALIN_H
#define PNV_TESSALIN_H

#include "tessalin_entry_points.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TESSALIN_BUILDING_LIBRARY) && !defined(_WIN32)
#define TESSALIN_API __attribute__((visibility("default")))
#else
#define TESSALIN_API
#endif

#define TESSALIN_DECLARE(name, result, parameters) TESSALIN_API result name parameters;
TESSALIN_ENTRY_POINTS(TESSALIN_DECLARE)
#undef TESSALIN_DECLARE

#ifdef __cplusplus
}
#endif

#endif
