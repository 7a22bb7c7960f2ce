// Rows of records as the tests of plans, records and sweeps build them.
#pragma once

#include "ctl/record.h"

#include <optional>

// A row of the eight columns every record has.
inline RecordRow plainRow(int point, const char *time, int mohm, int volts, std::optional<double> reading,
                   std::optional<double> error, double tolerance, Verdict verdict)
{
    RecordRow r;
    r.point = point;
    r.time_utc = time;
    r.resistance_mohm = mohm;
    r.voltage_v = volts;
    r.reading_mohm = reading;
    r.error_pct = error;
    r.tolerance_pct = tolerance;
    r.verdict = verdict;
    return r;
}
