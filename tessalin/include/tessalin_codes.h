/* What the five entry points of tessalin.h take and give back, each named
 * once: their result and status codes, the mode of S_Connect and the sizes
 * of the buffers and records. The library, its callers and the simulator
 * that answers it all use these names. */
#ifndef PNV_TESSALIN_CODES_H
#define PNV_TESSALIN_CODES_H

/* Result codes of S_Connect and status codes in byte 0 of ConfigRead's and
 * ConfigWrite's buffer. Callers look at the low 8 bits; larger codes may
 * occur and mean nothing to them. */
#define TESSALIN_SUCCESS 0
#define TESSALIN_LINK_DOWN 1          /* no link, or it broke */
#define TESSALIN_TIME_OUT 2
#define TESSALIN_RECEIVE_ERROR 3
#define TESSALIN_VERIFY_ERROR 4       /* the encoder refused, or its echo differs */
#define TESSALIN_ALREADY_CONNECTED 5

/* The value callers pass as S_Connect's mode: a configuration session. */
#define TESSALIN_CONNECT_MODE 14

/* S_Connect's address text, its terminating NUL included. */
#define TESSALIN_ADDRESS_BUFFER_SIZE 16
/* The configuration request in bytes 0..19 of ConfigWrite's buffer. */
#define TESSALIN_CONFIG_REQUEST_SIZE 20
/* The configuration reply in bytes 0..25 of ConfigRead's buffer: the MAC
 * address, then the layout of the request. */
#define TESSALIN_CONFIG_REPLY_SIZE 26
/* What a caller hands ConfigRead and ConfigWrite. */
#define TESSALIN_CONFIG_BUFFER_SIZE 500

#endif
