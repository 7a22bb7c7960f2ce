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
// Comment lines come before the column line, each "# key: value"; the
// first says what the file is. A row holds a point of the plan (its
// number in the plan, from 1), recorded when it was done: reading_mohm and
// error_pct are empty for a skipped point. verdict is pass, fail or skipped.
//
// Records since `record_format: 2` carry more: header keys for the rule,
// the decade's certificate, the environment, the lab and the report number,
// and after the eight columns above those of RECORD_COLUMNS_2: the
// reference value, the point's readings (";" between them) and their
// uncertainty budget, the row a redo supersedes (its ordinal, 1 = the
// first row) and the chain. reading_mohm is then the mean of the readings,
// and verdict may also be "conditional pass" or "conditional fail". Two
// kinds of "#" line may follow the column line: "# redo of point N: WHY
// (operator: NAME)" just before the row of a redo, and the end values of
// the environment (temperature_c_end, humidity_pct_end).
//
// The chain makes edits visible: a row's chain is the SHA-256 (64
// lowercase hex digits) of the previous row's chain (nothing for the first
// row) followed by every byte of the file after the previous row (from the
// file's start for the first row) up to and including the comma before
// the chain.
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
// The columns records since record_format 2 add after RECORD_COLUMNS.
inline constexpr char RECORD_COLUMNS_ADDED[] =
    "reference_mohm,readings,n,s_mohm,error_mohm,mpe_mohm,u_ref_mohm,u_res_mohm,u_rep_mohm,u_c_mohm,nu_eff,k,"
    "expanded_u_mohm,tur,supersedes,chain";
inline constexpr char RECORD_FORMAT[] = "2";

// A point's verdict, written as the word its name says in lower case.
enum class Verdict { Pass, Fail, Skipped, ConditionalPass, ConditionalFail };
// "pass", "fail", "skipped", "conditional pass", "conditional fail".
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

    // The columns of records since record_format 2 (none in older ones).
    // A skipped point has its reference and u_ref alone, n = 0; u_res is
    // none when the plan gave no resolution; nu_eff and tur may be infinite.
    std::optional<double> reference_mohm;
    std::vector<double> readings;
    int n = 0;
    std::optional<double> s_mohm, error_mohm, mpe_mohm, u_ref_mohm, u_res_mohm, u_rep_mohm, u_c_mohm, nu_eff, k,
        expanded_u_mohm, tur;
    std::optional<int> supersedes;  // the ordinal of the row a redo replaces
    std::string chain;
    std::string redo_note;  // the text of its "# redo of point N:" line
};

struct Record {
    // The comment lines' keys and values, in the file's order.
    std::vector<std::pair<std::string, std::string>> header;
    std::vector<RecordRow> rows;
    // The "#" lines after the column line other than redo notes (the
    // environment's end values), in the file's order.
    std::vector<std::pair<std::string, std::string>> trailer;
    // Its record_format, 1 for records without one.
    int format = 1;
    // Whether the rows carry the columns of format 2 and their chain.
    bool chained = false;
    // Why the record is not as it was written (a chain that does not
    // match, a format line without the chain), "" when it is.
    std::string altered;
    // What the next row's chain starts from: the last row's chain and the
    // bytes after it (the whole file when it has no row yet).
    std::string chainState;
    // The value of a header key (or, after it, the last of a trailer
    // key), "" when absent.
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

// The counts of a record's rows by verdict and its worst point. A row
// that a later row supersedes counts no more.
struct RecordSummary {
    int recorded = 0, passed = 0, failed = 0, skipped = 0;
    int conditionalPassed = 0, conditionalFailed = 0;  // within passed and failed
    int superseded = 0;
    // The first of the rows with the largest |error| / MPE (the largest
    // |error_pct| in older records, as before); none when no point was
    // measured.
    const RecordRow *worst = nullptr;
};
RecordSummary summarize(const std::vector<RecordRow> &rows);
// Whether a later row of `rows` supersedes rows[index].
bool superseded(const std::vector<RecordRow> &rows, size_t index);

// The header keys a sweep writes, in their order.
inline constexpr const char *RECORD_KEYS[] = {
    "program", "started_utc", "decade_identification", "port", "device", "uut",
    "operator", "plan", "plan_sha256", "plan_points", "decision_rule",
};

// The header keys of records since record_format 2, in their order.
inline constexpr const char *RECORD_KEYS_2[] = {
    "program", "record_format", "started_utc", "started_local", "decade_identification", "port", "device", "uut",
    "operator", "customer", "procedure", "report_number", "plan", "plan_sha256", "plan_points", "decision_rule",
    "decade_certificate", "reference_uncertainty", "temperature_c", "humidity_pct", "lab_name", "lab_address",
    "lab_accreditation", "lab_traceability",
};

// A row as a line of the record, its LF included.
std::string recordLine(const RecordRow &row);
// A row of a record since format 2, up to and including the comma before
// its chain.
std::string recordLineUnchained(const RecordRow &row);
// The chain of a row: from what the chain starts from and the row's line
// up to the comma before the chain (recordLineUnchained).
std::string chainOf(const std::string &chainState, const std::string &unchained);
// A test uncertainty ratio as the record writes it: 2 decimals, " low"
// after it below 4, "inf" for an infinite one.
std::string turText(double tur);
// A number as the record writes it: up to 9 significant digits, "2", "0.5".
std::string recordNumber(double value);
// A percent error as the record writes it: 3 decimals, "0.400", "-12.500";
// one that rounds to zero is "0.000", never "-0.000".
std::string errorText(double pct);
// A number with 3 decimals as it stands, "-0.000" included.
std::string fixed3(double value);
