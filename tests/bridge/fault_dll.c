/* A device library that misbehaves in one chosen way, for the bridge's
 * failure tests. Built as a Windows DLL once per switch:
 *   FAULT_CRASH_READ   ConfigRead writes through a null pointer
 *   FAULT_HANG_READ    ConfigRead never returns
 *   FAULT_NO_WRITE     ConfigWrite is not exported
 * Everything else answers at once like a linked encoder; without a switch
 * (FAULT_ANSWERING) nothing misbehaves, and the benchmark times the bridge
 * alone with it. */
#include <stdint.h>
#include <string.h>
#include <windows.h>

#define EXPORT __declspec(dllexport)

EXPORT int32_t S_Connect(const char *address, int32_t mode, int32_t port)
{
    (void)address; (void)mode; (void)port;
    return 0;
}

EXPORT void S_Disconnect(void) {}

EXPORT int32_t ConfigRead(uint8_t *buffer, int32_t capacity)
{
    (void)capacity;
#if defined(FAULT_CRASH_READ)
    volatile uint8_t *nowhere = NULL;
    *nowhere = buffer[0];
#elif defined(FAULT_HANG_READ)
    for (;;)
        Sleep(1000);
#endif
    memset(buffer, 0x42, 26);
    return 26;
}

#if !defined(FAULT_NO_WRITE)
EXPORT int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    (void)capacity;
    buffer[0] = 0;
    return 1;
}
#endif

EXPORT void DLLClose(void) {}
