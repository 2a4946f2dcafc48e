/* The device library the benchmark times the Wine bridge alone with: every
 * entry point answers at once, with no network, as a linked encoder would.
 * Built twice: plain (the host reads its channel directly) and with
 * BENCH_WINDOWED, importing user32.dll and loading it (its S_Connect asks for
 * its thread's queue status), so that the host serves its message queue. */
#include <stdint.h>
#include <string.h>
#include <windows.h>

__declspec(dllexport) int32_t S_Connect(const char *address, int32_t mode, int32_t port)
{
    (void)address; (void)mode; (void)port;
#if defined(BENCH_WINDOWED)
    (void)GetQueueStatus(QS_ALLINPUT);
#endif
    return 0;
}

__declspec(dllexport) void S_Disconnect(void) {}

__declspec(dllexport) int32_t ConfigRead(uint8_t *buffer, int32_t capacity)
{
    (void)capacity;
    memset(buffer, 0x42, 26);
    return 26;
}

__declspec(dllexport) int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    (void)capacity;
    buffer[0] = 0;
    return 1;
}

__declspec(dllexport) void DLLClose(void) {}
