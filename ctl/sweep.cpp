// t483ctl sweep: a guided calibration sweep of an insulation-resistance
// tester against the decade, point by point from a plan, each point's
// reading and verdict recorded to a file on disk before the next begins.
// Here its command line; the run is in sweep_run.cpp.
//
// Standard output holds the summary alone (or its JSON); the prompts, the
// waits and each point's result go to standard error, so a log of the run
// and its result can be kept apart. The technician's answers come from
// standard input, or from --readings FILE in scripted runs.
#include "ctl/decade.h"
#include "ctl/record_file.h"
#include "ctl/sweep.h"
#include "ctl/verbs.h"

#include <QFile>

#include <csignal>

namespace {

const char DESCRIPTION[] =
    "Guides a calibration sweep of an insulation-resistance tester: for each point of\n"
    "PLAN (a CSV file with the columns resistance_mohm,voltage_v,tolerance_pct,dwell_s)\n"
    "waits until the decade's test voltage is the plan's, sets the resistance under\n"
    "remote control, waits the dwell time, asks for the tester's reading and records\n"
    "it with its error and verdict (pass when |error| <= tolerance) to RECORD, each\n"
    "row on disk before the next point. The decade is handed back (L1) at the end.\n"
    "\n"
    "Readings: 4072 (MOhm), 4.07G, 4070M, 4070000k, 4.07e9 (a number with an exponent\n"
    "and no unit is ohms), 4.07e9ohm; s skips the point, q stops the run. Stopped\n"
    "runs (q, the readings' end, Ctrl+C, a silent decade) continue with --resume.\n"
    "The voltage is asked for every 0.5 s through the dwell and the reading too: a\n"
    "point whose voltage was changed is done again.\n"
    "A device that goes mid-run (unplugged) is waited for, the record left as it is:\n"
    "back on the same path with the same identification, the point in progress is\n"
    "done again; another decade there, q or Ctrl+C stops the run.\n"
    "Prompts and progress go to standard error, the summary to standard output.\n"
    "PLAN and a readings FILE are regular files of at most 1 MiB, a RECORD read for\n"
    "--resume at most 64 MiB; an empty RECORD (a run that got no further than making\n"
    "it) is started anew, with or without --resume.\n"
    "\n"
    "Exit status: 0 every point passed; 1 a point failed or was skipped, the run\n"
    "stopped, or the decade did not answer; 2 usage, a bad plan, a record that exists\n"
    "(without --resume) or is another plan's; 3 the port could not be opened.";

// Whether text holds control characters (line ends above all), which a
// record's header cannot keep.
bool hasControl(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

}  // namespace

int sweepVerb(CtlContext &ctx, const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(DESCRIPTION);
    parser.addPositionalArgument("PLAN", "The plan, a CSV file.", "PLAN");
    const QCommandLineOption record("record", "The record to write (a new file), or to continue with --resume.", "RECORD");
    const QCommandLineOption resume("resume", "Continue RECORD, a record of the same plan, at its first point not done.");
    const QCommandLineOption readings("readings",
                                      "Take the readings from FILE, one a line (or skip): its Nth reading is the plan's "
                                      "point N's, also on --resume and when a point is done again; - takes the next line of "
                                      "standard input each time.",
                                      "FILE");
    const QCommandLineOption uut("uut", "The tester under test, for the record.", "TEXT");
    const QCommandLineOption op("operator", "Who calibrates, for the record.", "TEXT");
    parser.addOptions({record, resume, readings, uut, op});
    int status = CTL_DONE;
    if (!parseVerb(parser, args, ctx, &status))
        return status;
    const QStringList rest = parser.positionalArguments().mid(1);
    if (rest.size() != 1)
        return usageError(ctx, "sweep takes one PLAN");
    if (!parser.isSet(record) || parser.value(record).isEmpty())
        return usageError(ctx, "sweep needs --record RECORD");
    SweepOptions o;
    o.planPath = rest.first();
    o.recordPath = parser.value(record);
    o.resume = parser.isSet(resume);
    o.readingsPath = parser.value(readings);
    o.uut = parser.value(uut);
    o.operatorName = parser.value(op);
    for (const auto &[name, value] : {std::pair{"PLAN", o.planPath}, std::pair{"--uut", o.uut},
                                      std::pair{"--operator", o.operatorName}, std::pair{"--record", o.recordPath}})
        if (hasControl(value))
            return usageError(ctx, QString("%1 must not hold line ends or other control characters").arg(name));
    // A record left empty (a full disk, a kill while it was made) holds no
    // point yet: --resume starts it as a new run does.
    if (o.resume && recordNotStarted(QFile::encodeName(o.recordPath).toStdString())) {
        printErr(QString("%1 is empty: the sweep starts at its first point\n").arg(o.recordPath));
        o.resume = false;
    }
    // A record that reaches the file size limit (ulimit -f) fails its write
    // (EFBIG) and stops the run as a full disk does, the decade handed back,
    // instead of the signal ending the program with the decade under remote.
    std::signal(SIGXFSZ, SIG_IGN);
    return runSweep(ctx, o);
}
