// The trace on standard error, switched on by T483_TRACE=1.
#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

bool TraceOn(void)
{
    const char *v = getenv("T483_TRACE");
    return v && v[0] && strcmp(v, "0") != 0;
}

void Trace(const char *format, ...)
{
    if (!TraceOn())
        return;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char line[600];
    int n = snprintf(line, sizeof line, "%02d:%02d:%02d.%03ld ", local.tm_hour, local.tm_min,
                     local.tm_sec, now.tv_nsec / 1000000);
    va_list args;
    va_start(args, format);
    vsnprintf(line + n, sizeof line - n - 1, format, args);
    va_end(args);
    n = (int)strlen(line);
    line[n++] = '\n';
    fwrite(line, 1, n, stderr);
    fflush(stderr);
}

void TraceLink(int port, char direction, const char *bytes, int count)
{
    if (!TraceOn())
        return;
    char text[512];
    int n = 0;
    if (count < 0) {
        n = snprintf(text, sizeof text, "(failed: %d)", count);
    } else {
        text[n++] = '"';
        for (int k = 0; k < count && n < (int)sizeof text - 8; k++) {
            unsigned char c = (unsigned char)bytes[k];
            if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"')
                text[n++] = (char)c;
            else
                n += snprintf(text + n, sizeof text - n, "\\x%02X", c);
        }
        text[n++] = '"';
        text[n] = 0;
    }
    Trace("COM%d %c %s", port, direction, text);
}
