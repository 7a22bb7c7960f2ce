// report: a sweep's record as a PDF for people (report_pdf.h).
#include "ctl/decade.h"
#include "ctl/record.h"
#include "ctl/record_file.h"
#include "ctl/report_pdf.h"
#include "ctl/verbs.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

int reportVerb(CtlContext &ctx, const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Renders a sweep's record as an A4 PDF: its header data, a summary with the\n"
        "overall result, the table of points and a plot of each point's error against\n"
        "its nominal resistance with its tolerance. An existing FILE is replaced, and\n"
        "only by a whole PDF; it must be a regular file this user may write (a folder,\n"
        "a device, a pipe or a read-only file is left as it is). RECORD is a regular\n"
        "file of at most 64 MiB. Prints the PDF's path (with --json: the path and its\n"
        "count of pages).\n"
        "\n"
        "Exit status: 0 written; 2 usage, a record that cannot be read or is none,\n"
        "or a PDF that cannot be written.");
    parser.addPositionalArgument("RECORD", "The record file of a sweep.", "RECORD");
    const QCommandLineOption pdf("pdf", "The PDF to write.", "FILE");
    parser.addOption(pdf);
    int status = CTL_DONE;
    if (!parseVerb(parser, args, ctx, &status))
        return status;
    const QStringList rest = parser.positionalArguments().mid(1);
    if (rest.size() != 1)
        return usageError(ctx, "report takes one RECORD");
    if (!parser.isSet(pdf) || parser.value(pdf).isEmpty())
        return usageError(ctx, "report needs --pdf FILE");
    const QString path = rest.first(), out = parser.value(pdf);
    // The record is the original; its report never takes its place.
    const QFileInfo recordInfo(path), outInfo(out);
    if (outInfo.exists() && recordInfo.exists() && outInfo.canonicalFilePath() == recordInfo.canonicalFilePath())
        return usageError(ctx, QString("--pdf %1 is the record itself").arg(out));

    // The hash of the very bytes read, so the report names what it shows.
    std::string bytes, error;
    if (!readRegularFile(QFile::encodeName(path).toStdString(), RECORD_LIMIT, &bytes, &error)) {
        complain(ctx, QString("cannot read %1: %2").arg(path, qs(error)));
        return CTL_USAGE;
    }
    Record record;
    if (!readRecord(bytes, QFile::encodeName(path).toStdString(), &record, &error)) {
        complain(ctx, QString("%1 is no sweep record: %2").arg(path, qs(error)));
        return CTL_USAGE;
    }
    const ReportSource source{
        QFileInfo(path).fileName(),
        QString::fromLatin1(
            QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256).toHex()),
        "t483ctl " T483_VERSION,
        qs(record.altered),
    };
    if (!record.altered.empty())
        complain(ctx, QString("%1 was ALTERED after recording: %2; the report says so and gives no overall result")
                          .arg(path, qs(record.altered)));
    QString why;
    if (!writeReport(record, source, out, &why)) {
        complain(ctx, why);
        return CTL_USAGE;
    }
    printResult(ctx, {{"pdf", out}, {"pages", reportPages(record)}}, out);
    return CTL_DONE;
}
