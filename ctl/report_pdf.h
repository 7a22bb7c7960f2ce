// A sweep's record as a document for people: an A4 PDF, painted with Qt.
//
//   page 1      title, the record's header data, the summary with the
//               overall result, the first rows of the table
//   next pages  the rest of the table, its column heads on each page
//   last page   the error of each measured point against its nominal
//               resistance (log axis) with its tolerance, the sign-off
//
// Every page's footer names the record file and its SHA-256 and says
// "page N of M". A record with no rows is one page saying so.
#pragma once

#include "ctl/record.h"

#include <QString>

// The rows of the table page 1 holds when the header has only the keys a
// sweep writes (each further key takes a row's place), and every page after.
inline constexpr int REPORT_FIRST_PAGE_ROWS = 20;
inline constexpr int REPORT_PAGE_ROWS = 47;

// What the report says of where its record came from.
struct ReportSource {
    QString fileName;  // the record file's name as shown
    QString sha256;    // of the record file's bytes, in hex
    QString producer;  // "t483ctl 1.0", in the footer
    // Why the record's rows or header are not as they were recorded (its
    // chain of hashes does not verify); empty when they are. A record
    // altered is shown as such, with no overall result.
    QString altered = {};
};

// The overall result of a record.
struct ReportOutcome {
    int planned = -1;  // plan_points; -1 when absent or not a number
    int recorded = 0, passed = 0, failed = 0, skipped = 0;
    double worstError = -1;  // the largest |error| in %, -1 when none measured
    int worstPoint = 0;      // the point it was measured at
    // "PASS" only when every planned point is recorded and passed; "FAIL"
    // when any point failed; else "INCOMPLETE".
    QString result;
    QString reason;  // why, in a sentence
};
ReportOutcome reportOutcome(const Record &record);
// Its counts and worst point from the record's summary, without a result.
ReportOutcome countedOutcome(const Record &record, const RecordSummary &summary);

// The pages of the record's report.
int reportPages(const Record &record);

// Paints the report to `pdfPath`, a new file or a regular file this user
// may write (anything else is refused and left as it is), replacing the
// file only once it is whole.
// False with the reason when the file could not be written.
bool writeReport(const Record &record, const ReportSource &source, const QString &pdfPath,
                 QString *error);
