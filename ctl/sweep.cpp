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

#include <cmath>
#include <csignal>

namespace {

const char DESCRIPTION[] =
    "Guides a calibration sweep of an insulation-resistance tester: for each point of\n"
    "PLAN (a CSV file with the columns resistance_mohm,voltage_v,tolerance_pct,dwell_s)\n"
    "waits until the decade's test voltage is the plan's, sets the resistance under\n"
    "remote control, waits the dwell time, asks for the tester's readings and records\n"
    "them with their error, uncertainty and verdict (by default pass when |error| <=\n"
    "MPE) to RECORD, each row on disk before the next point. The decade is handed back\n"
    "(L1) at the end.\n"
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
    "A plan may also give tolerance_digits, resolution_mohm, readings (1 to 20 a\n"
    "point) and tolerance_basis (reference or reading); each point's uncertainty\n"
    "(reference, resolution, repeatability) is recorded and --decision-rule decides\n"
    "its verdict. --redo N --reason TEXT does point N of RECORD again: a new row\n"
    "supersedes the earlier one, which stays. Each row is chained to the bytes\n"
    "before it by SHA-256: a record changed by hand is refused by --resume and --redo.\n"
    "PLAN and a readings FILE are regular files of at most 1 MiB, a RECORD read for\n"
    "--resume at most 64 MiB; an empty RECORD (a run that got no further than making\n"
    "it) is started anew, with or without --resume.\n"
    "\n"
    "Exit status: 0 every point passed; 1 a point failed or was skipped, the run\n"
    "stopped, or the decade did not answer; 2 usage, a bad plan or certificate, a\n"
    "record that exists (without --resume) or is another plan's or was altered; 3 the\n"
    "port could not be opened.";

// Whether text holds control characters (line ends above all), which a
// record's header cannot keep.
bool hasControl(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

// The options of the model, the environment, the identity and redo.
void addRunOptions(QCommandLineParser &parser)
{
    const QCommandLineOption redo("redo", "Do point N of RECORD again: its new row supersedes the earlier one.", "N");
    const QCommandLineOption reason("reason", "Why the point is done again (with --redo), for the record.", "TEXT");
    const QCommandLineOption certificate(
        "decade-certificate", "The decade's calibration certificate (CSV): each point's reference value and uncertainty.", "FILE");
    const QCommandLineOption nominal("nominal-uncertainty",
                                     "Points without a certified value take the nominal one, within +-PCT % "
                                     "(rectangular); without --decade-certificate, every point.", "PCT");
    const QCommandLineOption expired("allow-expired", "Use a decade's certificate past its due date, and say so.");
    const QCommandLineOption rule("decision-rule", "simple (the default), guarded or non-binary.", "RULE");
    const QCommandLineOption temperature("temperature", "The temperature at the start, in degrees C.", "C");
    const QCommandLineOption humidity("humidity", "The relative humidity at the start, in %.", "RH");
    const QCommandLineOption temperatureEnd("temperature-end", "The temperature at the end, in degrees C.", "C");
    const QCommandLineOption humidityEnd("humidity-end", "The relative humidity at the end, in %.", "RH");
    const QCommandLineOption customer("customer", "The customer, for the record.", "TEXT");
    const QCommandLineOption procedure("procedure", "The calibration procedure followed, for the record.", "TEXT");
    const QCommandLineOption number("report-number",
                                    "The report's number (default: one made from the start time and the record).", "TEXT");
    parser.addOptions({redo, reason, certificate, nominal, expired, rule, temperature, humidity, temperatureEnd,
                       humidityEnd, customer, procedure, number});
}

// The values of addRunOptions' options in *o: CTL_DONE, or a usage error.
int takeRunOptions(const CtlContext &ctx, const QCommandLineParser &parser, SweepOptions *o)
{
    o->reason = parser.value("reason");
    o->certificatePath = parser.value("decade-certificate");
    o->allowExpired = parser.isSet("allow-expired");
    o->customer = parser.value("customer");
    o->procedure = parser.value("procedure");
    o->reportNumber = parser.value("report-number");
    const struct {
        const char *name;
        std::optional<double> *value;
        double low, high;
    } numbers[] = {{"nominal-uncertainty", &o->nominalUncertaintyPct, 0, 100}, {"temperature", &o->temperature, -40, 80},
                   {"humidity", &o->humidity, 0, 100},                         {"temperature-end", &o->temperatureEnd, -40, 80},
                   {"humidity-end", &o->humidityEnd, 0, 100}};
    for (const auto &n : numbers) {
        if (!parser.isSet(n.name))
            continue;
        bool ok = false;
        const double v = parser.value(n.name).toDouble(&ok);
        if (!ok || !std::isfinite(v) || v < n.low || v > n.high)
            return usageError(ctx, QString("--%1 takes a number, %2 to %3").arg(n.name).arg(n.low).arg(n.high));
        *n.value = v;
    }
    if (parser.isSet("decision-rule") && !(o->rule = decisionRuleNamed(parser.value("decision-rule").toStdString())))
        return usageError(ctx, "--decision-rule is simple, guarded or non-binary");
    if (parser.isSet("redo")) {
        bool ok = false;
        o->redo = parser.value("redo").toInt(&ok);
        if (!ok || o->redo < 1)
            return usageError(ctx, "--redo takes a point's number, from 1");
        if (o->reason.trimmed().isEmpty())
            return usageError(ctx, "--redo needs --reason TEXT: why the point is done again");
        if (o->resume)
            return usageError(ctx, "--redo and --resume go separately: --resume first, then --redo");
    } else if (parser.isSet("reason")) {
        return usageError(ctx, "--reason goes with --redo");
    }
    if ((o->resume || o->redo) && (o->temperature || o->humidity))
        return usageError(ctx, "--temperature and --humidity are a new record's start values; --temperature-end and "
                               "--humidity-end give the end's");
    return CTL_DONE;
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
                                      "Take the readings from FILE, one a line (or skip), every point's readings in the "
                                      "plan's order: point 1's, then point 2's; a point's lines are its own also on "
                                      "--resume, --redo and when a point is done again; - takes the next line of "
                                      "standard input each time.",
                                      "FILE");
    const QCommandLineOption uut("uut", "The tester under test, for the record.", "TEXT");
    const QCommandLineOption op("operator", "Who calibrates, for the record.", "TEXT");
    parser.addOptions({record, resume, readings, uut, op});
    addRunOptions(parser);
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
    if (const int taken = takeRunOptions(ctx, parser, &o); taken != CTL_DONE)
        return taken;
    for (const auto &[name, value] :
         {std::pair{"PLAN", o.planPath}, std::pair{"--uut", o.uut}, std::pair{"--operator", o.operatorName},
          std::pair{"--record", o.recordPath}, std::pair{"--reason", o.reason}, std::pair{"--customer", o.customer},
          std::pair{"--procedure", o.procedure}, std::pair{"--report-number", o.reportNumber}})
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
