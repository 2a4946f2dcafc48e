/* The READ round trip through a device library loaded by path, as a caller
 * that knows only the five entry points sees it: our libtessalin.so, or the
 * Wine bridge bound to a Windows DLL.
 *   pnv3400-bench-bridge LIBRARY DLL|- PORT COUNT
 * prints two numbers: the milliseconds from loading the library to the first
 * S_Connect's return (for the bridge: the host's start with an existing
 * prefix), and the median ConfigRead in us. */
#define _GNU_SOURCE
#include "round_trip_timing.h"
#include "tessalin_codes.h"

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s LIBRARY DLL|- PORT COUNT\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[3]), count = atoi(argv[4]);
    const double loadStart = now_us();
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    int32_t (*connect)(const char *, int32_t, int32_t);
    int32_t (*read)(uint8_t *, int32_t);
    void (*disconnect)(void);
    void (*close)(void);
    *(void **)&connect = dlsym(library, "S_Connect");
    *(void **)&read = dlsym(library, "ConfigRead");
    *(void **)&disconnect = dlsym(library, "S_Disconnect");
    *(void **)&close = dlsym(library, "DLLClose");
    if (strcmp(argv[2], "-") != 0) {
        int (*bind)(const char *, char *, size_t);
        *(void **)&bind = dlsym(library, "TessalinBridge_Bind");
        char error[1024] = "";
        if (!bind || bind(argv[2], error, sizeof error) != 0) {
            fprintf(stderr, "bind: %s\n", error);
            return 1;
        }
    }
    const char address[TESSALIN_ADDRESS_BUFFER_SIZE] = "127.0.0.1";
    if (connect(address, TESSALIN_CONNECT_MODE, port) != TESSALIN_SUCCESS) {
        fprintf(stderr, "S_Connect failed\n");
        return 1;
    }
    const double started = (now_us() - loadStart) / 1000.0;
    double *times = malloc(sizeof(double) * (size_t)count);
    uint8_t record[TESSALIN_CONFIG_BUFFER_SIZE];
    for (int i = 0; i < count; ++i) {
        const double start = now_us();
        memset(record, 0, sizeof record);
        if (read(record, sizeof record) != TESSALIN_CONFIG_REPLY_SIZE) {
            fprintf(stderr, "ConfigRead failed\n");
            return 1;
        }
        times[i] = now_us() - start;
    }
    disconnect();
    close();
    printf("%.1f %.2f\n", started, median_us(times, count));
    free(times);
    return 0;
}
