// The report of a record that holds each point's uncertainty: what
// report_pdf.cpp paints for a record with a record_format line (one
// without it is painted as it always was).
#pragma once

#include "ctl/record.h"
#include "ctl/report_pdf.h"
#include "ctl/uncertainty.h"

#include <QPdfWriter>
#include <QString>

#include <map>
#include <optional>
#include <set>
#include <vector>

namespace report {

// Whether the record is of the format with uncertainties.
bool isFullRecord(const Record &record);

// A row's figures as the record gives them.
struct PointFigures : PointResult {
    double reference_mohm = 0;
    std::vector<double> readings;
    std::optional<double> resolution_mohm;
    bool u_ref_rectangular = false;  // from the nominal value, not a certificate
};
// `nominal`: the record's references are nominal values.
PointFigures figuresOf(const RecordRow &row, bool nominal);

// The rows a report shows: the latest of each point, in point order; the
// measured ones among them; and the rows later ones superseded.
struct ReportView {
    explicit ReportView(const Record &record);
    const Record &record;
    std::vector<const RecordRow *> shown, measured, superseded;
    std::optional<DecisionRule> rule;
    // The points whose references are nominal values, not a certificate's
    // (every point's when the record names no certificate).
    bool allNominal = false;
    std::set<int> nominal;
    // The reason given for superseding a row, by the row superseded.
    std::map<const RecordRow *, QString> reasons;
    PointFigures figures(const RecordRow &row) const
    {
        return figuresOf(row, allNominal || nominal.count(row.point));
    }
    // The rule the header's decision_rule names, none for a text of its own.
    static std::optional<DecisionRule> ruleOf(const Record &record);
};

int fullReportPages(const Record &record);
ReportOutcome fullReportOutcome(const Record &record);
bool paintFullReport(QPdfWriter &writer, const Record &record, const ReportSource &source);

}  // namespace report
