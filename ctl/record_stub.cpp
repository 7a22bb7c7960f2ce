// A stand-in reader of records for report until record.cpp comes: the
// header's comment lines, the column line, the rows; little checking.
#include "ctl/record.h"

#include <fstream>
#include <sstream>

std::string Record::value(const std::string &key) const
{
    for (const auto &[k, v] : header)
        if (k == key)
            return v;
    return {};
}

bool readRecord(const std::string &path, Record *record, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot be read";
        return false;
    }
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    *record = {};
    bool columns = false;
    int n = 0;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string where = "line " + std::to_string(++n) + ": ";
        if (n == 1 && line != std::string("# ") + RECORD_TITLE) {
            *error = where + "not a t483ctl sweep record";
            return false;
        }
        if (!columns && line.rfind("# ", 0) == 0) {
            const size_t colon = line.find(": ");
            if (colon != std::string::npos)
                record->header.emplace_back(line.substr(2, colon - 2), line.substr(colon + 2));
            continue;
        }
        if (!columns) {
            if (line != RECORD_COLUMNS) {
                *error = where + "the column line was wanted";
                return false;
            }
            columns = true;
            continue;
        }
        std::vector<std::string> f;
        std::stringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');)
            f.push_back(cell);
        if (!line.empty() && line.back() == ',')
            f.push_back("");
        RecordRow row;
        try {
            if (f.size() != 8)
                throw 0;
            row.point = std::stoi(f[0]);
            row.time_utc = f[1];
            row.resistance_mohm = std::stoi(f[2]);
            row.voltage_v = std::stoi(f[3]);
            if (!f[4].empty())
                row.reading_mohm = std::stod(f[4]);
            if (!f[5].empty())
                row.error_pct = std::stod(f[5]);
            row.tolerance_pct = std::stod(f[6]);
            row.verdict = f[7];
        } catch (...) {
            *error = where + "not a row of the record";
            return false;
        }
        record->rows.push_back(row);
    }
    if (!columns) {
        *error = "no column line";
        return false;
    }
    return true;
}
