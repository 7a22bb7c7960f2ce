// Records on disk: read whole for --resume and for `t483ctl report`, and
// written by `t483ctl sweep` row by row, each row on disk before the next
// point starts.
#pragma once

#include "ctl/record.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The most read of each kind of input: a plan or a readings file of more
// than 1 MiB, a record of more than 64 MiB (about a million rows), is none.
constexpr std::uint64_t PLAN_LIMIT = std::uint64_t(1) << 20;
constexpr std::uint64_t READINGS_LIMIT = std::uint64_t(1) << 20;
constexpr std::uint64_t RECORD_LIMIT = std::uint64_t(64) << 20;

// The file at `path` opened for reading (close-on-exec) when it is a
// regular file of at most `limit` bytes; else -1 and *why says what it is
// ("a folder, not a file", "larger than 1 MiB", the system's reason). A
// pipe or a device is refused without waiting on it.
int openRegularFile(const std::string &path, std::uint64_t limit, std::string *why);
// The bytes of the regular file at `path`, at most `limit` of them
// (openRegularFile; a file that grows past it while read is refused too).
bool readRegularFile(const std::string &path, std::uint64_t limit, std::string *bytes, std::string *why);
// The rest of the open file `fd` (left open), at most `limit` bytes: false,
// and *why, for a read error or more than that.
bool readLimited(int fd, std::uint64_t limit, std::string *bytes, std::string *why);
// The record in the file at `path` (readRegularFile up to RECORD_LIMIT,
// then readRecord). False with "cannot read PATH: REASON" or readRecord's.
bool readRecordFile(const std::string &path, Record *record, std::string *error);
// Whether `path` is an empty regular file: a record whose making went no
// further than the folder entry (a full disk, a kill). A new run may take
// it, and --resume starts it from its first point.
bool recordNotStarted(const std::string &path);

// The writing side, as `t483ctl sweep` keeps a record: every row is one
// write() to a file opened O_APPEND and is on disk (fsync) before the call
// returns, so a crash or power cut loses at most the row being written and
// leaves at worst a last line without its line end.
class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Makes a new record at `path` (which must not exist, or be an empty
    // regular file: false, and *exists set, when it is anything else) holding the title, the header lines and
    // the column line, on disk with its folder entry. Values must hold no
    // line ends (control characters are written as spaces).
    // With `chained`, a record since format 2: the added columns, and each
    // row chained to the bytes before it.
    bool create(const std::string &path, const std::vector<std::pair<std::string, std::string>> &header,
                std::string *error, bool *exists = nullptr, bool chained = false);
    // Opens an existing record to add rows to it and reads it into *record
    // (readRecordFile). The file is locked (flock) first and held while
    // open, so what is read is what is continued: a row another run
    // completed before it let go is kept. False for a record another run is
    // writing, or one that cannot be read.
    bool reopen(const std::string &path, Record *record, std::string *error);
    // Cuts the reopened record back to `completeBytes` (Record::completeBytes,
    // as reopen read it) when it is longer: the last line a crash left
    // without its line end.
    bool cutPartialLine(std::uint64_t completeBytes, std::string *error);
    // Adds a row, on disk before it returns. In a chained record a redo's
    // note (row.redo_note) goes in the same write just before it, and the
    // row's chain is put in *chain.
    bool append(const RecordRow &row, std::string *error, std::string *chain = nullptr);
    // Adds a "# key: value" line after the rows (a chained record's end
    // values), on disk before it returns.
    bool appendComment(const std::string &key, const std::string &value, std::string *error);
    void close();

private:
    int fd_ = -1;
    std::string path_;  // the reopened record's, for messages
    bool chained_ = false;
    std::string chainState_;  // what the next row's chain starts from
};
