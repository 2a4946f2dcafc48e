/* The bridge library's entry points beyond the five of tessalin.h.
 *
 * TessalinBridge_Open binds a Windows DLL to a slot of its own: checks the
 * DLL (PE header, machine, the five exported names), finds the matching host
 * and Wine loader, starts the host without waiting for it (with the flag
 * TESSALIN_BRIDGE_START_ON_CONNECT: not before the first S_Connect, so that
 * a binding made only to check the DLL starts no Wine process), and fills `table`
 * with the five entry points of that slot, which serve this DLL alone, in a
 * host of its own. Returns the slot (1 or more), or -1 with a one-line
 * message naming the file in `error` (also when all TESSALIN_BRIDGE_SLOTS
 * slots are taken). TessalinBridge_Release ends the slot's host and frees the
 * slot; its five then report a link failure until it is opened again.
 *
 * TessalinBridge_Bind binds the plain five names of this library to a DLL,
 * as TessalinBridge_Open does a slot. Returns 0 or -1 as it. Binding again
 * ends the previous host.
 *
 * TessalinBridge_SetLog sends every line the DLLs, their hosts or Wine print
 * (each with the DLL's name in front) to `sink` instead of our standard
 * error; a null sink restores that. The sink is called from the bridge's
 * own threads, for every binding of this program.
 *
 * TessalinBridge_SlotPreparingPrefix is 1 while the slot's host now starting
 * makes a new Wine prefix (a first start takes some seconds), 0 otherwise;
 * TessalinBridge_PreparingPrefix the same for the plain names. */
#ifndef PNV_TESSALIN_BRIDGE_H
#define PNV_TESSALIN_BRIDGE_H

#include "tessalin_entry_points.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TESSALIN_BRIDGE_SLOTS 8
#define TESSALIN_BRIDGE_START_ON_CONNECT 1

/* The five, in the order of TESSALIN_ENTRY_POINTS. */
#define TESSALIN_BRIDGE_TABLE_MEMBER(name, result, parameters) result(*name) parameters;
typedef struct TessalinBridgeTable {
    TESSALIN_ENTRY_POINTS(TESSALIN_BRIDGE_TABLE_MEMBER)
} TessalinBridgeTable;

int TessalinBridge_Open(const char *dllPath, int flags, char *error, size_t errorSize, TessalinBridgeTable *table);
void TessalinBridge_Release(int slot);
int TessalinBridge_SlotPreparingPrefix(int slot);
int TessalinBridge_Bind(const char *dllPath, char *error, size_t errorSize);
void TessalinBridge_SetLog(void (*sink)(void *context, const char *line), void *context);
int TessalinBridge_PreparingPrefix(void);

#ifdef __cplusplus
}
#endif

#endif
