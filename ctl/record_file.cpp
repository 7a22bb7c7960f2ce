// Records on disk: read whole, made, continued and added to row by row.
#include "ctl/record_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string systemError(const std::string &what, const std::string &path)
{
    return what + " " + path + ": " + strerror(errno);
}

// Writes all of `bytes` in one write() where the system allows, going on
// after a short write or an interruption.
bool writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool fsyncRetry(int fd)
{
    int r;
    while ((r = ::fsync(fd)) != 0 && errno == EINTR) {
    }
    return r == 0;
}

// "1 MiB", "64 MiB", or bytes.
std::string sizeText(std::uint64_t bytes)
{
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

// A header value or a note on one line: control characters as spaces.
std::string oneLine(std::string text)
{
    for (char &c : text)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = ' ';
    return text;
}

std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int openRegularFile(const std::string &path, std::uint64_t limit, std::string *why)
{
    // O_NONBLOCK: opening a FIFO with no writer would wait for one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        *why = "a folder, not a file";
    } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        *why = "a pipe, not a file";
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        *why = "a device, not a file";
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    } else if (std::uint64_t(st.st_size) > limit) {
        *why = "larger than " + sizeText(limit);
    } else {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    ::close(fd);
    return -1;
}

bool readRegularFile(const std::string &path, std::uint64_t limit, std::string *bytes, std::string *why)
{
    bytes->clear();
    const int fd = openRegularFile(path, limit, why);
    if (fd < 0)
        return false;
    const bool read = readLimited(fd, limit, bytes, why);
    ::close(fd);
    return read;
}

bool readLimited(int fd, std::uint64_t limit, std::string *bytes, std::string *why)
{
    bytes->clear();
    why->clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            *why = strerror(errno);
        else if (bytes->size() + size_t(n) > limit)
            *why = "larger than " + sizeText(limit);
        else if (n > 0)
            bytes->append(buf, size_t(n));
        if (n <= 0 || !why->empty())
            break;
    }
    if (!why->empty())
        bytes->clear();
    return why->empty();
}

bool readRecordFile(const std::string &path, Record *record, std::string *error)
{
    *record = Record();
    std::string bytes, why;
    if (!readRegularFile(path, RECORD_LIMIT, &bytes, &why)) {
        *error = "cannot read " + path + ": " + why;
        return false;
    }
    return readRecord(bytes, path, record, error);
}

bool recordNotStarted(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

RecordFile::~RecordFile()
{
    close();
}

void RecordFile::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool RecordFile::create(const std::string &path, const std::vector<std::pair<std::string, std::string>> &header,
                        std::string *error, bool *exists, bool chained)
{
    close();
    if (exists)
        *exists = false;
    std::string text = std::string("# ") + RECORD_TITLE + "\n";
    for (const auto &[key, value] : header)
        text += "# " + key + ": " + oneLine(value) + "\n";
    text += std::string(RECORD_COLUMNS) + (chained ? std::string(",") + RECORD_COLUMNS_ADDED : "") + "\n";
    chained_ = chained;
    chainState_ = text;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno == EEXIST && recordNotStarted(path)) {
        // An empty record, left by a run that got no further: taken when
        // it is still empty once locked (another run may be taking it).
        fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st {};
        if (fd_ >= 0 && (::flock(fd_, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
                         st.st_size != 0)) {
            close();
            errno = EEXIST;
        }
    }
    if (fd_ < 0) {
        if (exists && errno == EEXIST)
            *exists = true;
        *error = systemError("cannot create", path);
        return false;
    }
    // Held while rows are added: another run's --resume is refused.
    ::flock(fd_, LOCK_EX | LOCK_NB);
    if (!writeAll(fd_, text) || !fsyncRetry(fd_)) {
        *error = systemError("cannot write", path);
        close();
        return false;
    }
    // The file's entry in its folder, on disk too.
    const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsyncRetry(dir);
        ::close(dir);
    }
    return true;
}

bool RecordFile::reopen(const std::string &path, Record *record, std::string *error)
{
    close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0) {
        *error = systemError("cannot open", path);
        return false;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        *error = path + " is being written by another run";
        close();
        return false;
    }
    // Read under the lock, and the file read the one locked.
    struct stat held {}, named {};
    if (!readRecordFile(path, record, error)) {
        close();
        return false;
    }
    if (::fstat(fd_, &held) != 0 || ::stat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino) {
        *error = path + " was replaced while it was opened";
        close();
        return false;
    }
    path_ = path;
    chained_ = record->chained;
    chainState_ = record->chainState;
    return true;
}

bool RecordFile::cutPartialLine(std::uint64_t completeBytes, std::string *error)
{
    struct stat st {};
    if (fd_ < 0)
        errno = EBADF;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        *error = systemError("cannot read", path_);
        return false;
    }
    if (std::uint64_t(st.st_size) > completeBytes &&
        (::ftruncate(fd_, off_t(completeBytes)) != 0 || !fsyncRetry(fd_))) {
        *error = systemError("cannot cut the unfinished last line of", path_);
        return false;
    }
    return true;
}

bool RecordFile::append(const RecordRow &row, std::string *error, std::string *chain)
{
    std::string line = recordLine(row), sum;
    if (chained_) {
        line.clear();
        if (row.supersedes)
            line = "# redo of point " + std::to_string(row.point) + ": " + oneLine(row.redo_note) + "\n";
        line += recordLineUnchained(row);
        sum = chainOf(chainState_, line);
        line += sum + "\n";
    }
    if (fd_ < 0 || !writeAll(fd_, line) || !fsyncRetry(fd_)) {
        *error = std::string("cannot write the record: ") + strerror(errno);
        return false;
    }
    chainState_ = sum;
    if (chain)
        *chain = sum;
    return true;
}

bool RecordFile::appendComment(const std::string &key, const std::string &value, std::string *error)
{
    const std::string line = "# " + key + ": " + oneLine(value) + "\n";
    if (fd_ < 0 || !writeAll(fd_, line) || !fsyncRetry(fd_)) {
        *error = std::string("cannot write the record: ") + strerror(errno);
        return false;
    }
    chainState_ += line;
    return true;
}
