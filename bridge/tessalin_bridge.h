/* The bridge library's one entry point beyond the five of tessalin.h: binds
 * it to a Windows DLL. Checks the DLL (PE header, machine, the five exported
 * names), finds the matching host and Wine loader, and starts the host
 * without waiting for it. Returns 0, or -1 with a one-line message naming
 * the file in `error`. Binding again ends the previous host. */
#ifndef PNV_TESSALIN_BRIDGE_H
#define PNV_TESSALIN_BRIDGE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int TessalinBridge_Bind(const char *dllPath, char *error, size_t errorSize);

#ifdef __cplusplus
}
#endif

#endif
