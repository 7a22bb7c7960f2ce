// Records of calibration sweeps: reading them (for --resume and for
// `t483ctl report`) and writing them row by row, each row on disk before
// the next point starts.
#include "ctl/record.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
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

// The fields of a CSV line; double-quoted fields may hold commas and ""
// for a quote.
std::vector<std::string> csvFields(const std::string &line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t k = 0; k < line.size(); k++) {
        const char c = line[k];
        if (quoted) {
            if (c == '"' && k + 1 < line.size() && line[k + 1] == '"') {
                fields.back() += '"';
                k++;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

bool toInt(const std::string &s, int *v)
{
    const auto r = std::from_chars(s.data(), s.data() + s.size(), *v);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool toDouble(const std::string &s, double *v)
{
    const auto r = std::from_chars(s.data(), s.data() + s.size(), *v);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(*v);
}

std::string csvField(const std::string &s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

}  // namespace

std::string Record::value(const std::string &key) const
{
    for (const auto &kv : header)
        if (kv.first == key)
            return kv.second;
    return {};
}

bool Record::has(const std::string &key) const
{
    return std::any_of(header.begin(), header.end(), [&](const auto &kv) { return kv.first == key; });
}

bool readRecord(const std::string &path, Record *record, std::string *error)
{
    *record = Record();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError("cannot open", path);
        return false;
    }
    std::string bytes;
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
        bytes.append(buf, size_t(n));
    }
    ::close(fd);

    const size_t lastLf = bytes.rfind('\n');
    record->completeBytes = lastLf == std::string::npos ? 0 : lastLf + 1;
    record->partialLine = record->completeBytes < bytes.size();

    int lineNo = 0;
    bool columnsSeen = false;
    std::vector<int> column;  // the file's field of each of the known columns
    size_t fieldCount = 0;
    static const char *const names[] = {"point", "time_utc", "resistance_mohm", "voltage_v",
                                        "reading_mohm", "error_pct", "tolerance_pct", "verdict"};
    auto fail = [&](const std::string &why) {
        *error = path + ": line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    for (size_t pos = 0; pos < record->completeBytes;) {
        const size_t nl = bytes.find('\n', pos);
        std::string line = bytes.substr(pos, nl - pos);
        pos = nl + 1;
        lineNo++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (lineNo == 1) {
            if (line != std::string("# ") + RECORD_TITLE)
                return fail(std::string("not a record of a sweep (it does not start \"# ") + RECORD_TITLE + "\")");
            continue;
        }
        if (!columnsSeen && !line.empty() && line[0] == '#') {
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                return fail("a comment line that is no \"# key: value\"");
            std::string key = line.substr(1, colon - 1);
            key.erase(0, key.find_first_not_of(' '));
            std::string value = line.substr(colon + 1);
            if (!value.empty() && value[0] == ' ')
                value.erase(0, 1);
            record->header.emplace_back(key, value);
            continue;
        }
        if (line.empty())
            continue;
        const std::vector<std::string> fields = csvFields(line);
        if (!columnsSeen) {
            column.assign(std::size(names), -1);
            for (size_t f = 0; f < fields.size(); f++)
                for (size_t n = 0; n < std::size(names); n++)
                    if (fields[f] == names[n])
                        column[n] = int(f);
            for (size_t n = 0; n < std::size(names); n++)
                if (column[n] < 0)
                    return fail(std::string("the column line lacks ") + names[n]);
            fieldCount = fields.size();
            columnsSeen = true;
            continue;
        }
        if (line[0] == '#')
            return fail("a comment after the column line");
        if (fields.size() != fieldCount)
            return fail(std::to_string(fields.size()) + " fields where the column line has " + std::to_string(fieldCount));
        RecordRow row;
        const auto field = [&](int n) -> const std::string & { return fields[size_t(column[size_t(n)])]; };
        double d = 0;
        if (!toInt(field(0), &row.point) || row.point < 1)
            return fail("point: '" + field(0) + "' is no point number");
        row.time_utc = field(1);
        if (!toInt(field(2), &row.resistance_mohm))
            return fail("resistance_mohm: '" + field(2) + "' is no whole number");
        if (!toInt(field(3), &row.voltage_v))
            return fail("voltage_v: '" + field(3) + "' is no whole number");
        if (!field(4).empty()) {
            if (!toDouble(field(4), &d))
                return fail("reading_mohm: '" + field(4) + "' is no number");
            row.reading_mohm = d;
        }
        if (!field(5).empty()) {
            if (!toDouble(field(5), &d))
                return fail("error_pct: '" + field(5) + "' is no number");
            row.error_pct = d;
        }
        if (!toDouble(field(6), &row.tolerance_pct))
            return fail("tolerance_pct: '" + field(6) + "' is no number");
        row.verdict = field(7);
        if (row.verdict != "pass" && row.verdict != "fail" && row.verdict != "skipped")
            return fail("verdict: '" + row.verdict + "' is none of pass, fail, skipped");
        if ((row.verdict == "skipped") != !row.reading_mohm || row.reading_mohm.has_value() != row.error_pct.has_value())
            return fail("a skipped point has no reading and error, any other both");
        record->rows.push_back(row);
    }
    if (lineNo == 0) {
        *error = path + ": empty, not a record of a sweep";
        return false;
    }
    if (!columnsSeen) {
        *error = path + ": the header is incomplete: no column line (" + RECORD_COLUMNS + ")";
        return false;
    }
    return true;
}

std::string recordNumber(double value)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 9);
    return std::string(buf, r.ptr);
}

std::string recordLine(const RecordRow &row)
{
    std::string error;
    if (row.error_pct) {
        char buf[512];
        const auto r = std::to_chars(buf, buf + sizeof buf, *row.error_pct, std::chars_format::fixed, 3);
        error.assign(buf, r.ptr);
        if (error == "-0.000")
            error = "0.000";
    }
    return std::to_string(row.point) + ',' + csvField(row.time_utc) + ',' + std::to_string(row.resistance_mohm) + ',' +
           std::to_string(row.voltage_v) + ',' + (row.reading_mohm ? recordNumber(*row.reading_mohm) : "") + ',' +
           error + ',' + recordNumber(row.tolerance_pct) + ',' + csvField(row.verdict) + '\n';
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

bool RecordFile::reopen(const std::string &path, std::uint64_t completeBytes, std::string *error)
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
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        *error = systemError("cannot read", path);
        close();
        return false;
    }
    if (std::uint64_t(st.st_size) > completeBytes &&
        (::ftruncate(fd_, off_t(completeBytes)) != 0 || !fsyncRetry(fd_))) {
        *error = systemError("cannot cut the unfinished last line of", path);
        close();
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
