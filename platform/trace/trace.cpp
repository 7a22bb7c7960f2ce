// The trace: on standard error with T483_TRACE=1, appended to the file any
// other value names.
#include "platform/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

// Where a line goes; the speaker's thread traces too, so the file's state
// is looked at and lines are written under one lock.
std::mutex lock;
// The file T483_TRACE last named, and its descriptor: -1 when it could not
// be opened, which is not tried again until another file is named.
std::string file_name;
int file_fd = -1;
// Whether a line the file did not take has been warned of: once a file.
bool write_warned = false;

enum Sink { OFF, TO_STDERR, TO_FILE };

// Opened for appending and never waited on: O_NONBLOCK makes a pipe with
// nobody reading it fail at once, and lines it cannot take are dropped.
void open_file(const char *name)
{
    if (file_fd >= 0)
        close(file_fd);
    file_name = name;
    write_warned = false;
    file_fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (file_fd < 0) {
        fprintf(stderr, "t483: cannot open the trace file %s (%s); no trace is written\n", name,
                strerror(errno));
        fflush(stderr);
    }
}

Sink sink(void)
{
    const char *v = getenv("T483_TRACE");
    if (!v || !v[0] || strcmp(v, "0") == 0)
        return OFF;
    if (strcmp(v, "1") == 0)
        return TO_STDERR;
    if (file_name != v)
        open_file(v);
    return file_fd >= 0 ? TO_FILE : OFF;
}

// "12:03:41.207" for standard error; "2026-12-08T12:03:41.207+01:00", the
// local date and time and the offset from UTC, for a file that is kept.
int stamp(char *out, size_t size, bool dated)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    const long ms = now.tv_nsec / 1000000;
    if (!dated)
        return snprintf(out, size, "%02d:%02d:%02d.%03ld ", local.tm_hour, local.tm_min,
                        local.tm_sec, ms);
    const long offset = local.tm_gmtoff / 60;  // minutes east of UTC
    const long east = offset < 0 ? -offset : offset;
    return snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld ",
                    local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, local.tm_sec, ms, offset < 0 ? '-' : '+', east / 60, east % 60);
}

}  // namespace

bool TraceOn(void)
{
    std::lock_guard<std::mutex> held(lock);
    return sink() != OFF;
}

void Trace(const char *format, ...)
{
    std::lock_guard<std::mutex> held(lock);
    const Sink to = sink();
    if (to == OFF)
        return;
    char line[600];
    int n = stamp(line, sizeof line, to == TO_FILE);
    va_list args;
    va_start(args, format);
    vsnprintf(line + n, sizeof line - n - 1, format, args);
    va_end(args);
    n = (int)strlen(line);
    line[n++] = '\n';
    if (to == TO_STDERR) {
        fwrite(line, 1, n, stderr);
        fflush(stderr);
        return;
    }
    // One write per line: with O_APPEND, lines of two programs tracing to
    // the same file never interleave.
    ssize_t written;
    while ((written = write(file_fd, line, n)) < 0 && errno == EINTR) {
    }
    // A full disk, a file size limit, a pipe that is full: the trace is not
    // lost without a word.
    if (written != n && !write_warned) {
        write_warned = true;
        fprintf(stderr, "t483: cannot write the trace file %s (%s); trace lines are lost\n", file_name.c_str(),
                written < 0 ? strerror(errno) : "written in part");
        fflush(stderr);
    }
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
