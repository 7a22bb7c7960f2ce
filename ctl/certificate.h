// The decade's own calibration certificate, as the sweep takes its
// reference values from it, and the lab's profile for the record's header.
// Plain C++ on bytes already read.
//
// A certificate is a CSV file: "#" header lines, then a column line and a
// row per setting and test voltage, as certificates of high-value decades
// list them ("*" for any voltage):
//
//   # certificate: 0412/2026
//   # laboratory: Cesky metrologicky institut
//   # calibrated: 2026-03-02
//   # due: 2027-03-02
//   resistance_mohm,voltage_v,certified_mohm,expanded_uncertainty_mohm,coverage_factor
//   1000,1000,1000.21,0.82,2
//   1000,*,1000.25,1.1,2
#pragma once

#include <optional>
#include <string>
#include <vector>

inline constexpr char CERTIFICATE_COLUMNS[] =
    "resistance_mohm,voltage_v,certified_mohm,expanded_uncertainty_mohm,coverage_factor";

struct CertificateRow {
    int line = 0;
    int resistance_mohm = 0;
    std::optional<int> voltage_v;  // none for "*"
    double certified_mohm = 0, expanded_uncertainty_mohm = 0, coverage_factor = 0;
};

struct Certificate {
    std::string number, laboratory, calibrated, due;  // dates YYYY-MM-DD
    std::vector<CertificateRow> rows;
    // The row for a setting at a voltage: the voltage's own, else the "*" row.
    const CertificateRow *find(int resistance_mohm, int voltage_v) const;
    // "0412/2026, Cesky metrologicky institut, calibrated 2026-03-02, due 2027-03-02".
    std::string summary() const;
};

// A certificate from its bytes. False with "line N, column C: WHY" (or
// "line N: WHY", or what is missing) for one that is not as above.
bool parseCertificate(const std::string &bytes, Certificate *certificate, std::string *error);

// Whether text is a date YYYY-MM-DD of the calendar.
bool validDate(const std::string &text);

// The lab's profile (lab.ini in the settings folder): "key = value" lines,
// [sections] and ";" or "#" comments passed over.
struct LabProfile {
    std::string name, address, accreditation, traceability;
};
// False with "line N: WHY" for a line that is none of those, or a key
// that is not name, address, accreditation or traceability.
bool parseLabProfile(const std::string &bytes, LabProfile *lab, std::string *error);
