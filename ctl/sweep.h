// t483ctl sweep, as its command line hands it to the run (sweep_run.cpp)
// and as the run's texts are put (sweep_text.cpp).
#pragma once

#include "ctl/certificate.h"
#include "ctl/cli.h"
#include "ctl/plan.h"
#include "ctl/record.h"
#include "ctl/uncertainty.h"

#include <QString>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the command line asks for.
struct SweepOptions {
    QString planPath, recordPath;
    QString readingsPath;  // "" for the technician at standard input, "-" for readings there
    QString uut, operatorName;
    bool resume = false;
    int redo = 0;  // the point done again, 0 for none
    QString reason;
    QString certificatePath;  // "" for none: nominal values
    std::optional<double> nominalUncertaintyPct;
    bool allowExpired = false;
    std::optional<DecisionRule> rule;  // none: simple, or the record's
    std::optional<double> temperature, humidity, temperatureEnd, humidityEnd;
    QString customer, procedure, reportNumber;
};

// The sweep: the plan read, the record made or continued, each point run
// and recorded, the decade handed back. Returns the exit status.
int runSweep(CtlContext &ctx, const SweepOptions &options);

// Where a point's reference comes from: the certificate (normal), or the
// nominal value with --nominal-uncertainty (rectangular) or without any.
struct PointReference {
    double mohm = 0;
    double u_mohm = 0;  // standard uncertainty
    bool certified = false;
};

// The references of a run: each plan point's, and the header lines that
// say where they come from (decade_certificate, reference_uncertainty and,
// for a certificate past its due date, decade_certificate_expired).
struct SweepReferences {
    std::vector<PointReference> points;
    std::vector<std::pair<std::string, std::string>> header;
};
// Reads --decade-certificate (when given) and works out every point's
// reference; false with the message for a certificate that cannot be
// read, is malformed, past its due date (without --allow-expired) or
// misses points (without --nominal-uncertainty, naming every one).
bool sweepReferences(const SweepOptions &options, const std::vector<PlanPoint> &plan, SweepReferences *refs,
                     QString *error);
// The lab's profile, $XDG_CONFIG_HOME/t483/lab.ini (~/.config/t483): empty
// fields without one; false with the message for one that is malformed.
bool readLabProfile(LabProfile *lab, QString *error);
// "21.5", or "not recorded".
std::string environmentText(const std::optional<double> &value);
// A report number made from the start time and what makes the record
// itself: T483-YYYYMMDD-HHMMSS-XXXXXXXX.
std::string makeReportNumber(const QString &startedUtc, const std::string &identity);

// A measured point's row: the model's values, the rule's verdict, the mean
// as reading_mohm and the error in % as written.
void measuredRow(RecordRow *row, const PlanPoint &point, const PointReference &ref, const std::vector<double> &readings,
                 DecisionRule rule);
// Whether a reading typed at a terminal is far enough from the reference
// to be confirmed: beyond 10 x MPE or 50 %, whichever is larger.
bool implausible(double reading_mohm, const PlanPoint &point, const PointReference &ref);

// "point 3/12 (4072 MOhm at 1000 V)".
QString pointName(const std::vector<PlanPoint> &plan, size_t index);

// The summary of a record's rows on standard output (plain or JSON): the
// plan's count of points, the record's path, why the run stopped ("" when
// it did not). Returns the exit status: 0 when every point passed.
int printSummary(const CtlContext &ctx, const std::vector<RecordRow> &rows, int points, const QString &recordPath,
                 const QString &stopReason);
