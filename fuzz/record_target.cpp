// Fuzz target: arbitrary bytes read as a sweep's record, the way --resume
// and report read one. Checked: the complete part ends at a line end and
// is all but a partial last line; a row read is as the writer would have
// it (skipped exactly when it has no reading and no error, numbered from
// 1); and each row written again and read back is written the same, with
// its chain when the record has one.
#include <cstdint>
#include <string>
#include <string_view>

#include "ctl/record.h"
#include "fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    Record record;
    std::string error;
    const bool ok = readRecord(bytes, "fuzz.csv", &record, &error);
    FUZZ_CHECK(record.completeBytes <= size);
    FUZZ_CHECK(record.completeBytes == 0 || bytes[record.completeBytes - 1] == '\n');
    FUZZ_CHECK(record.partialLine == (record.completeBytes < size));
    if (!ok) {
        FUZZ_CHECK(error.rfind("fuzz.csv: ", 0) == 0);
        return 0;
    }
    const RecordSummary summary = summarize(record.rows);
    FUZZ_CHECK(summary.passed + summary.failed + summary.skipped == summary.recorded);
    for (const RecordRow &row : record.rows) {
        FUZZ_CHECK(row.point >= 1);
        FUZZ_CHECK((row.verdict == Verdict::Skipped) == !row.reading_mohm);
        FUZZ_CHECK(row.reading_mohm.has_value() == row.error_pct.has_value());
        const std::string line = recordLine(row);
        const std::string again = std::string("# ") + RECORD_TITLE + "\n" + RECORD_COLUMNS + "\n" + line;
        Record reread;
        FUZZ_CHECK(readRecord(again, "again.csv", &reread, &error));
        FUZZ_CHECK(reread.rows.size() == 1 && !reread.partialLine);
        FUZZ_CHECK(recordLine(reread.rows[0]) == line);
        if (!record.chained)
            continue;
        // A row with readings and a budget, written again with a chain
        // (and without the row it supersedes), reads back the same.
        RecordRow alone = row;
        alone.supersedes.reset();
        const std::string unchained = recordLineUnchained(alone);
        const std::string head = std::string("# ") + RECORD_TITLE + "\n" + RECORD_COLUMNS + "," + RECORD_COLUMNS_ADDED + "\n";
        const std::string chained = head + unchained + chainOf(head, unchained) + "\n";
        FUZZ_CHECK(readRecord(chained, "again.csv", &reread, &error));
        FUZZ_CHECK(reread.rows.size() == 1 && reread.rows[0].chain == chainOf(head, unchained));
        FUZZ_CHECK(recordLineUnchained(reread.rows[0]) == unchained);
    }
    return 0;
}
