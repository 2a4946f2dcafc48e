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
 * TessalinBridge_LastFailure says what the bridge knows of the last call (of
 * any slot, or the plain names) when it failed in the bridge rather than in
 * the DLL's own answer: one of the TESSALIN_BRIDGE_FAILURE_* kinds, and in
 * `text` one line naming the DLL and what happened, for the user (a status
 * bar's tool tip, a command's message). Every S_Connect, ConfigRead and
 * ConfigWrite clears it first; NONE after a call the DLL answered.
 *   TESSALIN_BRIDGE_FAILURE_HUNG  the call did not return within the hang
 *     guard (TESSALIN_BRIDGE_HANG_GUARD_S seconds, by default 60) and its host
 *     was ended: the call reported the time-out code, but what the DLL did
 *     meanwhile is not known. A ConfigWrite so ended may have been applied:
 *     its outcome is unknown, never "failed".
 *   TESSALIN_BRIDGE_FAILURE_DLL   the DLL crashed, ended its host (exit,
 *     abort, an uncaught C++ exception), or could not be loaded; the call
 *     reported the link-failure code. A ConfigWrite so ended may also have
 *     reached the encoder.
 *   TESSALIN_BRIDGE_FAILURE_HOST  the bridge could not run the DLL (Wine, the
 *     prefix, a wineserver of another network namespace, the host's start):
 *     the call never reached the DLL.
 *   TESSALIN_BRIDGE_FAILURE_WINDOW  the DLL answered, and showed a message
 *     box or dialog during the call (with no display, what the box would have
 *     said): `text` is its title and text, the DLL's own account of what went
 *     wrong. The call waited for the user meanwhile (the guard paused, up to
 *     hours). Any failure above also names such a window.
 *
 * TessalinBridge_SlotPreparingPrefix is 1 while the slot's host now starting
 * makes a new Wine prefix (a first start takes some seconds), 0 otherwise. */
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

#define TESSALIN_BRIDGE_FAILURE_NONE 0
#define TESSALIN_BRIDGE_FAILURE_HUNG 1
#define TESSALIN_BRIDGE_FAILURE_DLL 2
#define TESSALIN_BRIDGE_FAILURE_HOST 3
#define TESSALIN_BRIDGE_FAILURE_WINDOW 4

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
int TessalinBridge_LastFailure(char *text, size_t textSize);

#ifdef __cplusplus
}
#endif

#endif
