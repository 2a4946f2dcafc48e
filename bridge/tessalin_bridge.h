/* The bridge library's entry points beyond the five of tessalin.h.
 *
 * TessalinBridge_Bind binds it to a Windows DLL. Checks the DLL (PE header,
 * machine, the five exported names), finds the matching host and Wine
 * loader, and starts the host without waiting for it. Returns 0, or -1 with
 * a one-line message naming the file in `error`. Binding again ends the
 * previous host.
 *
 * TessalinBridge_SetLog sends every line the DLL, its host or Wine prints
 * (each with the DLL's name in front) to `sink` instead of our standard
 * error; a null sink restores that. The sink is called from the bridge's
 * own threads.
 *
 * TessalinBridge_PreparingPrefix is 1 while the host now starting makes a
 * new Wine prefix (a first start takes some seconds), 0 otherwise. */
#ifndef PNV_TESSALIN_BRIDGE_H
#define PNV_TESSALIN_BRIDGE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int TessalinBridge_Bind(const char *dllPath, char *error, size_t errorSize);
void TessalinBridge_SetLog(void (*sink)(void *context, const char *line), void *context);
int TessalinBridge_PreparingPrefix(void);

#ifdef __cplusplus
}
#endif

#endif
