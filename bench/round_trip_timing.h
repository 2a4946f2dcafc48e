/* Timing shared by the two round-trip clients, so that the library's and the
 * plain C client's figures are taken and summed up the same way. */
#pragma once
#include <stdlib.h>
#include <time.h>

static inline double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static inline int compare_doubles(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* Sorts the times in place and returns their median. */
static inline double median_us(double *times, int count)
{
    qsort(times, (size_t)count, sizeof *times, compare_doubles);
    return times[count / 2];
}
