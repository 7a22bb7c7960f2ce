// Lines and fields of the comma-separated files of a sweep.
#include "ctl/csv.h"

CsvLines::CsvLines(std::string_view bytes, Bom bom) : bytes_(bytes)
{
    if (bom == SkipBom && bytes_.substr(0, 3) == "\xEF\xBB\xBF")
        pos_ = 3;
}

bool CsvLines::next(std::string_view *line)
{
    if (pos_ >= bytes_.size())
        return false;
    size_t nl = bytes_.find('\n', pos_);
    if (nl == std::string_view::npos)
        nl = bytes_.size();
    *line = bytes_.substr(pos_, nl - pos_);
    pos_ = nl + 1;
    lineNo_++;
    if (!line->empty() && line->back() == '\r')
        line->remove_suffix(1);
    return true;
}

bool takeLine(std::string *buffer, std::string *line, bool last)
{
    const size_t nl = buffer->find('\n');
    if (nl == std::string::npos && !(last && !buffer->empty()))
        return false;
    *line = buffer->substr(0, nl);
    buffer->erase(0, nl == std::string::npos ? nl : nl + 1);
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

std::string trimmed(std::string_view text)
{
    const size_t b = text.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    const size_t e = text.find_last_not_of(" \t");
    return std::string(text.substr(b, e - b + 1));
}

namespace {

std::vector<std::string> escapedFields(std::string_view line)
{
    std::vector<std::string> fields(1);
    bool inQuotes = false;
    for (size_t k = 0; k < line.size(); k++) {
        const char c = line[k];
        if (inQuotes) {
            if (c == '"' && k + 1 < line.size() && line[k + 1] == '"') {
                fields.back() += '"';
                k++;
            } else if (c == '"') {
                inQuotes = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            inQuotes = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::vector<std::string> fieldsQuotedAround(std::string_view line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        std::string f = trimmed(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (f.size() >= 2 && f.front() == '"' && f.back() == '"')
            f = trimmed(std::string_view(f).substr(1, f.size() - 2));
        fields.push_back(f);
        if (comma == std::string_view::npos)
            return fields;
        start = comma + 1;
    }
}

}  // namespace

std::vector<std::string> csvFields(std::string_view line, CsvQuotes quotes)
{
    return quotes == CsvQuotes::Escaped ? escapedFields(line) : fieldsQuotedAround(line);
}

std::string csvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string q = "\"";
    for (char c : text)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string quoted(const std::string &text)
{
    return "'" + text + "'";
}

std::string lineError(const std::string &file, int line, const std::string &column, const std::string &why)
{
    return (file.empty() ? "" : file + ": ") + "line " + std::to_string(line) +
           (column.empty() ? "" : ", column " + column) + ": " + why;
}
