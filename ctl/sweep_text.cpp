// What a sweep says of its points and of its result.
#include "ctl/sweep.h"

#include "ctl/decade.h"

#include <QJsonObject>

QString pointName(const std::vector<PlanPoint> &plan, size_t index)
{
    const PlanPoint &p = plan[index];
    return QString("point %1/%2 (%3 MOhm at %4 V)").arg(index + 1).arg(plan.size()).arg(p.resistance_mohm).arg(p.voltage_v);
}

int printSummary(const CtlContext &ctx, const std::vector<RecordRow> &rows, int points, const QString &recordPath,
                 const QString &stopReason)
{
    const RecordSummary s = summarize(rows);
    const int notDone = points - s.recorded;
    QString worstText = "none";
    QJsonObject json{{"record", recordPath}, {"points", points}, {"passed", s.passed}, {"failed", s.failed},
                     {"skipped", s.skipped}, {"not_done", notDone}};
    if (s.worst) {
        // As it stands, a record's "-0.000" too.
        worstText = QString("%1 % at point %2 (%3 MOhm at %4 V)")
                        .arg(qs(fixed3(*s.worst->error_pct)))
                        .arg(s.worst->point)
                        .arg(s.worst->resistance_mohm)
                        .arg(s.worst->voltage_v);
        json["worst_error_pct"] = *s.worst->error_pct;
        json["worst_point"] = s.worst->point;
    }
    if (!stopReason.isEmpty())
        json["stopped"] = stopReason;
    // Conditional verdicts (the non-binary rule) and redone points, when there are.
    const auto conditional = [](int n) { return n ? QString(" (%1 conditional)").arg(n) : QString(); };
    if (s.conditionalPassed || s.conditionalFailed) {
        json["conditional_pass"] = s.conditionalPassed;
        json["conditional_fail"] = s.conditionalFailed;
    }
    if (s.superseded)
        json["superseded"] = s.superseded;
    QString plain = QString("points: %1\npassed: %2%3\nfailed: %4%5\nskipped: %6\n")
                        .arg(points)
                        .arg(s.passed)
                        .arg(conditional(s.conditionalPassed))
                        .arg(s.failed)
                        .arg(conditional(s.conditionalFailed))
                        .arg(s.skipped);
    if (s.superseded)
        plain += QString("superseded rows: %1 (points done again with --redo)\n").arg(s.superseded);
    if (notDone)
        plain += QString("not done: %1 (--resume continues)\n").arg(notDone);
    plain += "worst error: " + worstText + "\n";
    printResult(ctx, json, plain);
    return s.passed == points ? CTL_DONE : 1;
}
