// The one reader of the comma-separated files a sweep works with: plans,
// readings files and records. It takes the text apart into lines (LF or
// CR-LF ends, a last line without its end included, a UTF-8 byte-order
// mark skipped where the file kind allows one) and a line into fields; the
// file kinds decide what their fields mean. Plain C++, no I/O: it reads
// bytes already in memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The lines of `bytes`, one after another, each without its line end.
class CsvLines {
public:
    enum Bom { KeepBom, SkipBom };
    explicit CsvLines(std::string_view bytes, Bom bom = KeepBom);
    // The next line, false after the last.
    bool next(std::string_view *line);
    // The line last returned, from 1.
    int lineNo() const { return lineNo_; }

private:
    std::string_view bytes_;
    size_t pos_ = 0;
    int lineNo_ = 0;
};

// Takes the first whole line (up to its LF) off `buffer`, its CR-LF or LF
// dropped; false when the buffer holds no LF yet. With `last`, a buffer
// without LF is itself the line (a file's end without a final line end).
bool takeLine(std::string *buffer, std::string *line, bool last = false);

// How a line's double quotes are read.
enum class CsvQuotes {
    // A record's: a quoted field may hold commas, and "" for a quote;
    // nothing is trimmed.
    Escaped,
    // A plan's, as spreadsheets write numbers and names: every comma ends
    // a field; spaces around a field go, and so does one pair of quotes
    // around it (with the spaces inside it). A comma is never quoted in a
    // plan, and its messages count columns by the commas.
    AroundField,
};
std::vector<std::string> csvFields(std::string_view line, CsvQuotes quotes);

// A field as a record writes it: quoted when it holds a comma, a quote or
// a line end, with "" for each quote.
std::string csvField(const std::string &text);

// Text without the spaces and tabs around it.
std::string trimmed(std::string_view text);

// A value as a message shows it: 'text'.
std::string quoted(const std::string &text);

// The message on a bad line of a file:
//   [FILE: ]line N[, column C]: WHY
// with FILE and C left out when empty.
std::string lineError(const std::string &file, int line, const std::string &column, const std::string &why);
