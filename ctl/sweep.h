// t483ctl sweep, as its command line hands it to the run (sweep_run.cpp)
// and as the run's texts are put (sweep_text.cpp).
#pragma once

#include "ctl/cli.h"
#include "ctl/plan.h"
#include "ctl/record.h"

#include <QString>

#include <vector>

// What the command line asks for.
struct SweepOptions {
    QString planPath, recordPath;
    QString readingsPath;  // "" for the technician at standard input, "-" for readings there
    QString uut, operatorName;
    bool resume = false;
};

// The sweep: the plan read, the record made or continued, each point run
// and recorded, the decade handed back. Returns the exit status.
int runSweep(CtlContext &ctx, const SweepOptions &options);

// "point 3/12 (4072 MOhm at 1000 V)".
QString pointName(const std::vector<PlanPoint> &plan, size_t index);

// The summary of a record's rows on standard output (plain or JSON): the
// plan's count of points, the record's path, why the run stopped ("" when
// it did not). Returns the exit status: 0 when every point passed.
int printSummary(const CtlContext &ctx, const std::vector<RecordRow> &rows, int points, const QString &recordPath,
                 const QString &stopReason);
