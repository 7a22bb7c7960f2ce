// The link trace on standard error, switched on by T483_TRACE=1.
#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Looked up on every call (a few per command), so that it can be switched
// on for part of a run.
static bool trace_on(void)
{
    const char *v = getenv("T483_TRACE");
    return v && v[0] && strcmp(v, "0") != 0;
}

void TraceLink(int port, char direction, const char *bytes, int count)
{
    if (!trace_on())
        return;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    // Built in one buffer and written at once so lines never interleave.
    char line[512];
    int n = snprintf(line, sizeof line, "%02d:%02d:%02d.%03ld COM%d %c ", local.tm_hour,
                     local.tm_min, local.tm_sec, now.tv_nsec / 1000000, port, direction);
    if (count < 0) {
        n += snprintf(line + n, sizeof line - n, "(failed: %d)", count);
    } else {
        line[n++] = '"';
        for (int k = 0; k < count && n < (int)sizeof line - 8; k++) {
            unsigned char c = (unsigned char)bytes[k];
            if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"')
                line[n++] = (char)c;
            else
                n += snprintf(line + n, sizeof line - n, "\\x%02X", c);
        }
        line[n++] = '"';
    }
    line[n++] = '\n';
    fwrite(line, 1, n, stderr);
    fflush(stderr);
}
