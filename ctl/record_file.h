// Records on disk: read whole for --resume and for `t483ctl report`, and
// written by `t483ctl sweep` row by row, each row on disk before the next
// point starts.
#pragma once

#include "ctl/record.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The bytes of the file at `path`. False with "cannot open PATH: REASON"
// or "cannot read PATH: REASON".
bool readFileBytes(const std::string &path, std::string *bytes, std::string *error);
// The record in the file at `path` (readFileBytes, then readRecord).
bool readRecordFile(const std::string &path, Record *record, std::string *error);

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

    // Makes a new record at `path` (which must not exist: false, and
    // *exists set, when it does) holding the title, the header lines and
    // the column line, on disk with its folder entry. Values must hold no
    // line ends (control characters are written as spaces).
    bool create(const std::string &path, const std::vector<std::pair<std::string, std::string>> &header,
                std::string *error, bool *exists = nullptr);
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
    // Adds a row, on disk before it returns.
    bool append(const RecordRow &row, std::string *error);
    void close();

private:
    int fd_ = -1;
    std::string path_;  // the reopened record's, for messages
};
