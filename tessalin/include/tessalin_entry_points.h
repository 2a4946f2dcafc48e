/* The five entry points, listed once: tessalin.h declares them from this
 * list, and every place that binds, resolves, serves or checks them (the
 * binding, the Wine host, the file-header check, the export checks of the
 * build) takes its names and types from it.
 *
 * TESSALIN_ENTRY_POINTS(X) calls X(name, return type, parameter list) for
 * each, in the order callers bind them. */
#ifndef PNV_TESSALIN_ENTRY_POINTS_H
#define PNV_TESSALIN_ENTRY_POINTS_H

#define TESSALIN_ENTRY_POINTS(X)                                                \
    X(S_Connect, int32_t, (const char *address, int32_t mode, int32_t port))    \
    X(S_Disconnect, void, (void))                                               \
    X(ConfigRead, int32_t, (uint8_t *buffer, int32_t capacity))                 \
    X(ConfigWrite, int32_t, (uint8_t *buffer, int32_t capacity))                \
    X(DLLClose, void, (void))

/* For X: each name as a string, for a list of names:
 *   const char *const names[] = {TESSALIN_ENTRY_POINTS(TESSALIN_ENTRY_POINT_NAME)}; */
#define TESSALIN_ENTRY_POINT_NAME(name, result, parameters) #name,
/* For X, in C++: a table of the five as function pointers, empty until bound:
 *   struct Api { TESSALIN_ENTRY_POINTS(TESSALIN_POINTER_MEMBER) }; */
#define TESSALIN_POINTER_MEMBER(name, result, parameters) result(*name) parameters = nullptr;

#endif
