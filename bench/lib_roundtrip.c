/* The READ round trip through the device library, timed like the plain C
 * client's in wire_baseline.c, against whatever serves PORT on loopback.
 *   pnv3400-bench-libread PORT COUNT      prints the median ConfigRead in us
 */
#define _GNU_SOURCE
#include "round_trip_timing.h"
#include "tessalin.h"
#include "tessalin_codes.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s PORT COUNT\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]), count = atoi(argv[2]);
    const char address[TESSALIN_ADDRESS_BUFFER_SIZE] = "127.0.0.1";
    if (S_Connect(address, TESSALIN_CONNECT_MODE, port) != TESSALIN_SUCCESS) {
        fprintf(stderr, "S_Connect failed\n");
        return 1;
    }
    double *times = malloc(sizeof(double) * (size_t)count);
    uint8_t record[TESSALIN_CONFIG_BUFFER_SIZE];
    for (int i = 0; i < count; ++i) {
        const double start = now_us();
        if (ConfigRead(record, sizeof record) != TESSALIN_CONFIG_REPLY_SIZE) {
            fprintf(stderr, "ConfigRead failed\n");
            return 1;
        }
        times[i] = now_us() - start;
    }
    S_Disconnect();
    DLLClose();
    printf("%.2f\n", median_us(times, count));
    free(times);
    return 0;
}
