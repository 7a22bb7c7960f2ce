// A calibration sweep's plan, the readings a technician types and the
// verdict on each point: what `t483ctl sweep` decides, without I/O.
//
// A plan is a CSV file, one point a row, under a header line naming the
// columns in any order:
//
//   # insulation tester, 1 kV and 5 kV ranges
//   resistance_mohm,voltage_v,tolerance_pct,dwell_s
//   100,1000,2,5
//   4072,5000,3,10
//
// resistance_mohm: a whole number of MOhm the decade can set, 1 to 16221
// (0 has no percent error); voltage_v: 1000, 2500 or 5000; tolerance_pct:
// the allowed error in percent of the reference value, 0 or more; dwell_s:
// seconds to wait after setting, 0 to 3600. Optional columns, as testers'
// data sheets give "±(5 % of reading + 3 digits)": tolerance_digits
// (default 0), resolution_mohm (the tester's display resolution at the
// point; empty or absent for none, which digits cannot do without),
// readings (taken at the point, 1 to 20, default 1) and tolerance_basis
// (reference, the default, or reading: the % of the mean reading).
// The maximum permissible error is then
//   tolerance_pct/100 x |basis value| + tolerance_digits x resolution_mohm. Blank lines and lines starting
// with '#' are ignored; spaces around a field, a field's surrounding double
// quotes, CR-LF line ends and a UTF-8 byte-order mark are allowed.
#pragma once

#include "ctl/record.h"

#include <optional>
#include <string>
#include <vector>

inline constexpr char PLAN_COLUMNS[] = "resistance_mohm,voltage_v,tolerance_pct,dwell_s";
inline constexpr char PLAN_OPTIONAL_COLUMNS[] = "tolerance_digits,resolution_mohm,readings,tolerance_basis";
inline constexpr double PLAN_MAX_DWELL_S = 3600;
inline constexpr int PLAN_MAX_READINGS = 20;

struct PlanPoint {
    int line = 0;                // its line in the file, from 1
    int resistance_mohm = 0;
    int voltage_v = 0;
    double tolerance_pct = 0;
    std::string tolerance_text;  // as written in the plan, for the record
    double dwell_s = 0;
    double tolerance_digits = 0;
    std::optional<double> resolution_mohm;  // none: no digits, no resolution in the budget
    int readings = 1;
    bool basis_reading = false;  // the % part of the mean reading, not of the reference
};

// Reads a plan from its bytes. False with the reason, "line N, column C:
// ..." (or "line N: ..." when no column is to blame), for a bad plan.
bool parsePlan(const std::string &bytes, std::vector<PlanPoint> *points, std::string *error);

// What a technician typed for a point (or a line of a readings file).
struct ReadingInput {
    enum Kind { Value, Skip, Stop, Bad } kind = Bad;
    double mohm = 0;      // for Value
    std::string why;      // for Bad
};

// The help on the units of a reading, for prompts and --help.
inline constexpr char READING_UNITS[] =
    "4072 (MOhm), 4.07G, 4070M, 4070000k, 4.07e9 (ohms)";

// A reading as typed, spaces around it ignored:
//   NUMBER                a bare number without exponent is MOhm: 4072
//   NUMBER PREFIX [ohm]   T, G, M, k (g, t and K too): 4.07G, 4070M, 4070 MOhm
//   NUMBER[e±X] ohm|Ω     ohms: 4.07e9ohm, 4070000000 ohm
//   NUMBERe±X             a number with an exponent and no unit is ohms: 4.07e9
// NUMBER is digits with at most one decimal point, 0 or more. "m" (milli?)
// and a decimal comma are refused, as is any other text. "s" or "skip"
// skips the point, "q", "quit" or "stop" stops the run (any case).
ReadingInput parseReading(const std::string &text);

// A point's error and verdict as written to its record. The error is
// (reading - nominal) / nominal x 100, written with 3 decimals; the verdict
// is decided on the written value: pass when |error| <= tolerance.
struct Judgement {
    std::string error_text;   // "0.400", "-12.500"
    double error_pct = 0;     // the written value
    Verdict verdict = Verdict::Fail;  // Pass or Fail
};
Judgement judge(double reading_mohm, int nominal_mohm, double tolerance_pct);
