/* A fake device library that records every call it receives, so the binding
 * can be checked to pass exactly the arguments it was given. */
#include "tessalin.h"
#include "tessalin_codes.h"

#include <stdio.h>
#include <string.h>

static char g_log[1024];

static void record(const char *line)
{
    size_t used = strlen(g_log);
    snprintf(g_log + used, sizeof g_log - used, "%s;", line);
}

const char *fake_log(void) { return g_log; }
void fake_reset(void) { g_log[0] = '\0'; }

int32_t S_Connect(const char *address, int32_t mode, int32_t port)
{
    char line[96];
    snprintf(line, sizeof line, "S_Connect(%.16s,%d,%d)", address, mode, port);
    record(line);
    return 0x105; /* low byte 5: callers must look at the low 8 bits only */
}

void S_Disconnect(void) { record("S_Disconnect"); }

int32_t ConfigRead(uint8_t *buffer, int32_t capacity)
{
    char line[64];
    snprintf(line, sizeof line, "ConfigRead(%d)", capacity);
    record(line);
    buffer[0] = 0x2A;
    return 1;
}

#ifndef FAKE_OMIT_CONFIG_WRITE
int32_t ConfigWrite(uint8_t *buffer, int32_t capacity)
{
    char line[64];
    snprintf(line, sizeof line, "ConfigWrite(%02X%02X,%d)", buffer[0], buffer[19], capacity);
    record(line);
    buffer[0] = 4;
    return 1;
}
#endif

void DLLClose(void) { record("DLLClose"); }
