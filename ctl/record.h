// The record of a calibration sweep, a CSV file that people, spreadsheets
// and `t483ctl report` read:
//
//   # t483ctl sweep record
//   # program: t483ctl 1.0
//   # started_utc: 2026-12-08T10:49:18Z
//   # decade_identification: 48305
//   # port: COM1
//   # device: /dev/ttyUSB0
//   # uut: Megger MIT1025 s/n 123
//   # operator: J. Novak
//   # plan: plan.csv
//   # plan_sha256: 9f86d0...
//   # plan_points: 12
//   # decision_rule: pass when |error| <= tolerance; no guard band
//   point,time_utc,resistance_mohm,voltage_v,reading_mohm,error_pct,tolerance_pct,verdict
//   1,2026-12-08T10:49:31Z,100,1000,100.4,0.400,2,pass
//   2,2026-12-08T10:49:40Z,1000,2500,,,2,skipped
//
// Comment lines come only before the column line, each "# key: value";
// the first says what the file is. A row holds a point of the plan (its
// number in the plan, from 1), recorded when it was done: reading_mohm and
// error_pct are empty for a skipped point. verdict is pass, fail or skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr char RECORD_TITLE[] = "t483ctl sweep record";
inline constexpr char RECORD_COLUMNS[] =
    "point,time_utc,resistance_mohm,voltage_v,reading_mohm,error_pct,tolerance_pct,verdict";
inline constexpr char DECISION_RULE[] = "pass when |error| <= tolerance; no guard band";

// A point's verdict, written as the word its name says in lower case.
enum class Verdict { Pass, Fail, Skipped };
// "pass", "fail", "skipped".
const char *verdictWord(Verdict verdict);
// The verdict a word names, none for any other text.
std::optional<Verdict> verdictNamed(std::string_view word);

struct RecordRow {
    int point = 0;
    std::string time_utc;
    int resistance_mohm = 0;
    int voltage_v = 0;
    std::optional<double> reading_mohm;  // none when skipped
    std::optional<double> error_pct;     // none when skipped
    double tolerance_pct = 0;
    Verdict verdict = Verdict::Skipped;  // Skipped exactly when no reading
};

struct Record {
    // The comment lines' keys and values, in the file's order.
    std::vector<std::pair<std::string, std::string>> header;
    std::vector<RecordRow> rows;
    // The value of a header key, "" when absent.
    std::string value(const std::string &key) const;
    // Whether the header has the key (with any value, "" too).
    bool has(const std::string &key) const;
    // The bytes up to the end of the last whole line, and whether a last
    // line without its line end follows them (it is no row).
    std::uint64_t completeBytes = 0;
    bool partialLine = false;
};

// Reads a record from its bytes; `name` is the file's, for messages. A
// last line without its line end (a write cut short by a crash) is no row.
// False, with the reason ("NAME: line N: ..."), for bytes that are not
// such a record.
bool readRecord(std::string_view bytes, const std::string &name, Record *record, std::string *error);

// The counts of a record's rows by verdict and its worst point.
struct RecordSummary {
    int recorded = 0, passed = 0, failed = 0, skipped = 0;
    // The first of the rows with the largest |error|; none when no point
    // was measured.
    const RecordRow *worst = nullptr;
};
RecordSummary summarize(const std::vector<RecordRow> &rows);

// The header keys a sweep writes, in their order.
inline constexpr const char *RECORD_KEYS[] = {
    "program", "started_utc", "decade_identification", "port", "device", "uut",
    "operator", "plan", "plan_sha256", "plan_points", "decision_rule",
};

// A row as a line of the record, its LF included.
std::string recordLine(const RecordRow &row);
// A number as the record writes it: up to 9 significant digits, "2", "0.5".
std::string recordNumber(double value);
// A percent error as the record writes it: 3 decimals, "0.400", "-12.500";
// one that rounds to zero is "0.000", never "-0.000".
std::string errorText(double pct);
// A number with 3 decimals as it stands, "-0.000" included.
std::string fixed3(double value);
