// Text files: a small fixed table of open files, read line by line.
// The program only ever reads (its configuration file), so only opening for
// reading is provided; a request to write fails rather than create a file.
#include "platform/files.h"

#include <cstdio>

enum { MAX_FILES = 8 };

static FILE *open_files[MAX_FILES];  // slot k holds handle k + 1; null when free

// The file behind a handle, or null for a handle that is not open.
static FILE *file_of(int handle)
{
    if (handle < 1 || handle > MAX_FILES)
        return nullptr;
    return open_files[handle - 1];
}

int OpenFile(const char *name, int access, int action, int fileType)
{
    (void)action;    // reading never truncates, appends or creates
    (void)fileType;  // line ends are handled by ReadLine, CR LF or LF alike
    if (!name || access != VAL_READ_ONLY)
        return -1;
    int slot = 0;
    while (slot < MAX_FILES && open_files[slot])
        slot++;
    if (slot == MAX_FILES)
        return -1;
    FILE *f = std::fopen(name, "rb");
    if (!f)
        return -1;
    open_files[slot] = f;
    return slot + 1;
}

int CloseFile(int handle)
{
    FILE *f = file_of(handle);
    if (!f)
        return -1;
    open_files[handle - 1] = nullptr;
    return std::fclose(f) == 0 ? 0 : -1;
}

long SetFilePtr(int handle, long offset, int origin)
{
    static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    FILE *f = file_of(handle);
    if (!f || origin < 0 || origin > 2)
        return -1;
    return std::fseek(f, offset, whence[origin]) == 0 ? 0 : -1;
}

// After a line has filled maxBytes: a line end that follows at once belongs
// to that line and is consumed, so that a line of exactly maxBytes is not
// followed by an empty one. Anything else is left for the next read.
static void take_line_end(FILE *f)
{
    long at = std::ftell(f);
    int c = std::getc(f);
    if (c == '\n' || c == EOF)
        return;
    if (c == '\r' && std::getc(f) == '\n')
        return;
    if (at >= 0)
        std::fseek(f, at, SEEK_SET);
    else if (c != '\r')
        std::ungetc(c, f);
}

int ReadLine(int handle, char *buffer, int maxBytes)
{
    FILE *f = file_of(handle);
    if (!f || !buffer || maxBytes < 1)
        return -1;
    buffer[0] = 0;

    int n = 0;
    int c = 0;
    bool ended = false;  // the line end (LF) was read
    bool any = false;    // at least one byte was read, line end included
    while (n < maxBytes) {
        c = std::getc(f);
        if (c == EOF)
            break;
        any = true;
        if (c == '\n') {
            ended = true;
            break;
        }
        buffer[n++] = static_cast<char>(c);
    }
    if (c == EOF && std::ferror(f))
        return -1;
    if (!any)
        return -2;
    if (!ended && n == maxBytes) {
        // A CR as the last byte that fits may be the first half of CR LF.
        long at = std::ftell(f);
        if (n > 0 && buffer[n - 1] == '\r') {
            c = std::getc(f);
            if (c == '\n')
                ended = true;
            else if (at >= 0)
                std::fseek(f, at, SEEK_SET);
            else if (c != EOF)
                std::ungetc(c, f);
        } else {
            take_line_end(f);
        }
    }
    if (ended && n > 0 && buffer[n - 1] == '\r')
        n--;
    buffer[n] = 0;
    return n;
}
