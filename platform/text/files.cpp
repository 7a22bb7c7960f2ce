// Text files: a small fixed table of open files, read line by line.
// The program only ever reads (its configuration file), so only opening for
// reading is provided; a request to write fails rather than create a file.
//
// A file is read whole when it is opened, up to READ_LIMIT bytes, and its
// lines are then served from memory: nothing that is not a regular file is
// opened as one (a FIFO no one writes to would block the open, a device such
// as /dev/zero never ends), and a regular file however large, or growing
// while it is read, costs one bounded read.
#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

enum { MAX_FILES = 8 };
enum { READ_LIMIT = 64 * 1024 };  // bytes of a file read at most

struct TextFile {
    bool open = false;
    std::string text;  // the lines read, up to READ_LIMIT bytes
    size_t at = 0;     // where the next line starts
};

static TextFile files[MAX_FILES];  // slot k holds handle k + 1

// The file behind a handle, or null for a handle that is not open.
static TextFile *file_of(int handle)
{
    if (handle < 1 || handle > MAX_FILES || !files[handle - 1].open)
        return nullptr;
    return &files[handle - 1];
}

static bool is_regular(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0 && S_ISREG(st.st_mode);
}

// Reads up to READ_LIMIT bytes of the regular file name into text. When the
// file holds more, the text ends with the last line end within the limit: a
// line that runs past it is not read, rather than read cut short.
static bool read_text(const char *name, std::string *text)
{
    // Looked at before it is opened, so that no device is opened (which may
    // have effects of its own, such as a serial line's modem signals), and
    // again once open, in case the name has meanwhile come to mean another
    // file. O_NONBLOCK keeps a FIFO's open from waiting for a writer.
    if (!is_regular(name))
        return false;
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    text->assign(READ_LIMIT + 1, '\0');
    size_t got = 0;
    while (ok && got < text->size()) {
        ssize_t n = read(fd, &(*text)[got], text->size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        else if (n == 0)
            break;
        else
            got += static_cast<size_t>(n);
    }
    close(fd);
    if (!ok)
        return false;
    if (got > READ_LIMIT) {
        got = text->find_last_of("\r\n", READ_LIMIT - 1);
        got = got == std::string::npos ? 0 : got + 1;
    }
    text->resize(got);
    return true;
}

int OpenFile(const char *name, int access, int action, int fileType)
{
    (void)action;    // reading never truncates, appends or creates
    (void)fileType;  // line ends are handled by ReadLine, CR LF, LF or CR alike
    if (!name || access != VAL_READ_ONLY)
        return -1;
    int slot = 0;
    while (slot < MAX_FILES && files[slot].open)
        slot++;
    if (slot == MAX_FILES)
        return -1;
    TextFile &f = files[slot];
    if (!read_text(name, &f.text))
        return -1;
    f.open = true;
    f.at = 0;
    return slot + 1;
}

int CloseFile(int handle)
{
    TextFile *f = file_of(handle);
    if (!f)
        return -1;
    f->open = false;
    std::string().swap(f->text);
    return 0;
}

long SetFilePtr(int handle, long offset, int origin)
{
    TextFile *f = file_of(handle);
    if (!f || origin < 0 || origin > 2)
        return -1;
    const long from[] = {0, static_cast<long>(f->at), static_cast<long>(f->text.size())};
    const long to = from[origin] + offset;
    if (to < 0)
        return -1;
    f->at = static_cast<size_t>(to);
    return 0;
}

int ReadLine(int handle, char *buffer, int maxBytes)
{
    TextFile *f = file_of(handle);
    if (!f || !buffer || maxBytes < 1)
        return -1;
    buffer[0] = 0;

    const std::string &t = f->text;
    static const char BOM[] = "\xef\xbb\xbf";  // UTF-8, as some editors begin a file
    if (f->at == 0 && t.compare(0, 3, BOM) == 0)
        f->at = 3;
    if (f->at >= t.size())
        return -2;

    // The line runs to LF, CR LF or a lone CR, or to the end of the text;
    // what does not fit in maxBytes is passed over.
    int n = 0;
    while (f->at < t.size()) {
        const char c = t[f->at++];
        if (c == '\n')
            break;
        if (c == '\r') {
            if (f->at < t.size() && t[f->at] == '\n')
                f->at++;
            break;
        }
        if (n < maxBytes)
            buffer[n++] = c;
    }
    buffer[n] = 0;
    return n;
}
