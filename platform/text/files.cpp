// Text files: a small fixed table of open files, read line by line, and the
// atomic replacement of a whole file (the settings file's port choices).
// Opening is for reading only; a request to write fails rather than create a
// file.
//
// A file is read whole when it is opened, up to READ_LIMIT bytes, and its
// lines are then served from memory: nothing that is not a regular file is
// opened as one (a FIFO no one writes to would block the open, a device such
// as /dev/zero never ends), and a regular file however large, or growing
// while it is read, costs one bounded read.
#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
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

long ReadFileBytes(const char *name, char *buffer, long size)
{
    if (!name || !is_regular(name) || size < 0 || (size > 0 && !buffer))
        return -1;
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    long length = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        length = 0;
        char spare[4096];
        for (;;) {
            char *to = length < size ? buffer + length : spare;
            const size_t room = length < size ? static_cast<size_t>(size - length) : sizeof spare;
            ssize_t n = read(fd, to, room);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                length = -1;
            if (n <= 0)
                break;
            length += n;
            if (length > size)
                break;  // too long for buffer: that is all the caller needs to know
        }
    }
    close(fd);
    return length;
}

int GetDir(char *buffer, int size)
{
    return buffer && size > 0 && getcwd(buffer, static_cast<size_t>(size)) ? 0 : -1;
}

// Writes all of bytes to fd; false on any failure (a full disk among them).
static bool write_all(int fd, const char *bytes, long size)
{
    while (size > 0) {
        ssize_t n = write(fd, bytes, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += n;
        size -= n;
    }
    return true;
}

int WriteFileAtomically(const char *name, const char *bytes, long size)
{
    if (!name || !name[0] || size < 0 || (size > 0 && !bytes)) {
        errno = EINVAL;
        return -1;
    }
    // A link is followed, so that the link stays and its target changes.
    std::string path = name;
    char real[PATH_MAX];
    struct stat old;
    const bool exists = stat(name, &old) == 0;
    if (exists && realpath(name, real))
        path = real;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);

    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    mode_t mode = 0;
    // The file keeps its owner and group (a panel run as root saving a
    // user's settings). Set before the mode, which a change of owner takes
    // the set-user-ID bit from. Only root may give a file away: for anyone
    // else the new file stays theirs, as it always was.
    struct stat made;
    if (exists && fstat(fd, &made) == 0 && (made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
        fchown(fd, old.st_uid, old.st_gid) != 0)
        errno = 0;
    if (exists) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0644 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, bytes, size) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = err;
        return -1;
    }
    // The rename itself reaches the disk with the folder.
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}

int MakeFolders(const char *path)
{
    if (!path || !path[0])
        return -1;
    std::string p = path;
    for (size_t at = 1; at <= p.size(); at++) {
        if (at < p.size() && p[at] != '/')
            continue;
        const std::string part = p.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}
