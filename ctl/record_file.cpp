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

std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool readFileBytes(const std::string &path, std::string *bytes, std::string *error)
{
    bytes->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError("cannot open", path);
        return false;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = systemError("cannot read", path);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        bytes->append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

bool readRecordFile(const std::string &path, Record *record, std::string *error)
{
    *record = Record();
    std::string bytes;
    return readFileBytes(path, &bytes, error) && readRecord(bytes, path, record, error);
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
                        std::string *error, bool *exists)
{
    close();
    if (exists)
        *exists = false;
    std::string text = std::string("# ") + RECORD_TITLE + "\n";
    for (const auto &[key, value] : header) {
        std::string v = value;
        for (char &c : v)
            if ((unsigned char)c < 0x20 || c == 0x7f)
                c = ' ';
        text += "# " + key + ": " + v + "\n";
    }
    text += std::string(RECORD_COLUMNS) + "\n";
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
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

bool RecordFile::append(const RecordRow &row, std::string *error)
{
    if (fd_ < 0 || !writeAll(fd_, recordLine(row)) || !fsyncRetry(fd_)) {
        *error = std::string("cannot write the record: ") + strerror(errno);
        return false;
    }
    return true;
}
