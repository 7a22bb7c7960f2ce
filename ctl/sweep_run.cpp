// The run of a sweep: the plan and the record prepared, the decade found,
// each point's voltage waited for, its resistance set, its dwell and its
// reading taken and recorded, and the decade handed back (L1) at the end,
// also after Ctrl+C or a fault. A device that goes mid-run is waited for,
// and the point in progress done again once it is back.
#include "ctl/decade.h"
#include "ctl/line_source.h"
#include "ctl/reconnect.h"
#include "ctl/record_file.h"
#include "ctl/sweep.h"
#include "platform/deadline.h"
#include "platform/signals.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

// How a step of a point ended: Redo when the decade's test voltage was
// changed during it, and the point is done again.
enum class Step { Done, Skipped, Stopped, Redo };

class Sweep {
public:
    Sweep(CtlContext &ctx, const SweepOptions &options) : ctx_(ctx), o_(options) {}
    int run();

private:
    int prepare();
    int openInput();
    bool checkResumed();
    int findDecade(int *ident);
    int openRecord(int ident);
    Step point(size_t index);
    Step setResistance(const PlanPoint &p);
    Step waitVoltage(size_t index);
    std::optional<int> askVoltage();
    Step checkVoltage(size_t index, const char *during, bool lineOpen);
    Step dwell(size_t index);
    Step reading(size_t index, double *mohm);
    LineSource::Result nextReading(size_t index, Deadline until, std::string *line, int *lineNo);
    Step waitWithInput(Deadline until, const QString &during, bool skips = true);
    Step recordPoint(size_t index, Step step, double mohm);
    std::optional<int> retry(const std::function<std::optional<int>()> &command);
    bool command(const std::function<bool()> &command);
    bool ensureRemote();
    Step decadeFault(const QString &what, bool lineOpen = false);
    Step linkLost(bool lineOpen);
    QString where() const;
    Step stop(const QString &why);
    Step stoppedBySignal();
    int finish();
    QString pointName(size_t index) const { return ::pointName(plan_, index); }

    CtlContext &ctx_;
    const SweepOptions &o_;
    Decade decade_;
    int com_ = 0, ident_ = 0;  // the decade's port and identification
    std::string device_;       // and the device the port reaches
    size_t current_ = 0;       // the point in progress
    QString planSha_;
    std::vector<PlanPoint> plan_;
    Record record_;  // the rows recorded so far
    RecordFile file_;
    LineSource input_;       // the technician's answers, or the readings file
    bool scripted_ = false;  // answers from --readings
    // A readings file's readings so far, each with its line number: the
    // file's Nth reading is the plan's point N's, also when the run was
    // resumed or the point is done again (standard input gives the next).
    bool byPoint_ = false;
    std::vector<std::pair<std::string, int>> fileReadings_;
    bool tty_ = false;       // standard error is a terminal
    bool remote_ = false;
    std::optional<int> knownVoltage_;  // an M answered just now
    Deadline nextM_ = Deadline::in_ns(0);  // when the voltage is asked for again
    QString stopReason_;
};

int Sweep::prepare()
{
    std::string planBytes, error;
    if (!readRegularFile(QFile::encodeName(o_.planPath).toStdString(), PLAN_LIMIT, &planBytes, &error))
        return usageError(ctx_, "cannot read the plan " + o_.planPath + ": " + qs(error));
    if (!parsePlan(planBytes, &plan_, &error))
        return usageError(ctx_, "bad plan " + o_.planPath + ": " + qs(error));
    planSha_ = QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::fromStdString(planBytes), QCryptographicHash::Sha256).toHex());

    if (const int status = openInput(); status != CTL_DONE)
        return status;

    const std::string recordPath = QFile::encodeName(o_.recordPath).toStdString();
    struct stat st {};
    if (!o_.resume) {
        if (::lstat(recordPath.c_str(), &st) == 0 && !recordNotStarted(recordPath))
            return usageError(ctx_, "the record " + o_.recordPath + " exists: --resume continues it; a new run needs a new file");
    } else {
        if (!readRecordFile(recordPath, &record_, &error))
            return usageError(ctx_, "cannot resume: " + qs(error));
        if (!checkResumed())
            return CTL_USAGE;
        if (record_.rows.size() < plan_.size()) {
            // Locked, then read again: a row that another run completed
            // since is continued, not cut off.
            if (!file_.reopen(recordPath, &record_, &error)) {
                complain(ctx_, qs(error));
                return CTL_USAGE;
            }
            if (!checkResumed()) {
                file_.close();
                return CTL_USAGE;
            }
        }
    }
    return CTL_DONE;
}

// The technician at standard input, or the readings file.
int Sweep::openInput()
{
    input_ = LineSource(STDIN_FILENO);
    if (o_.readingsPath.isEmpty())
        return CTL_DONE;
    scripted_ = true;
    if (o_.readingsPath == "-")
        return CTL_DONE;
    byPoint_ = true;
    std::string why;
    const int fd = openRegularFile(QFile::encodeName(o_.readingsPath).toStdString(), READINGS_LIMIT, &why);
    if (fd < 0)
        return usageError(ctx_, "cannot read the readings " + o_.readingsPath + ": " + qs(why));
    input_ = LineSource(fd);
    return CTL_DONE;
}

// Whether the record read for --resume is this plan's, whole and as this
// program writes them, and agrees with --uut and --operator when given.
bool Sweep::checkResumed()
{
    auto refuse = [&](const QString &why) {
        usageError(ctx_, "cannot resume " + o_.recordPath + ": " + why + "; the record is left as it is");
        return false;
    };
    for (const char *key : RECORD_KEYS)
        if (!record_.has(key))
            return refuse(QString("its header is incomplete (no %1)").arg(key));
    if (qs(record_.value("plan_sha256")) != planSha_)
        return refuse("it is the record of another plan: its plan_sha256 is " + qs(record_.value("plan_sha256")) + ", " +
                      o_.planPath + "'s is " + planSha_);
    if (record_.value("decision_rule") != DECISION_RULE)
        return refuse("its decision rule is not \"" + QString(DECISION_RULE) + "\"");
    if (!o_.uut.isEmpty() && o_.uut != qs(record_.value("uut")))
        return refuse("it is the record of the UUT \"" + qs(record_.value("uut")) + "\"");
    if (!o_.operatorName.isEmpty() && o_.operatorName != qs(record_.value("operator")))
        return refuse("its operator is \"" + qs(record_.value("operator")) + "\"");
    if (record_.rows.size() > plan_.size())
        return refuse("it has more rows than the plan has points");
    for (size_t k = 0; k < record_.rows.size(); k++) {
        const RecordRow &r = record_.rows[k];
        const PlanPoint &p = plan_[k];
        if (r.point != int(k + 1) || r.resistance_mohm != p.resistance_mohm || r.voltage_v != p.voltage_v ||
            r.tolerance_pct != p.tolerance_pct)
            return refuse(QString("its row %1 is not the plan's point %1").arg(k + 1));
    }
    return true;
}

std::optional<int> Sweep::retry(const std::function<std::optional<int>()> &command)
{
    // One lost reply is tried again; a device that is gone is not.
    std::optional<int> r = command();
    if (!r && !decade_.lost() && !SignalPipeCaught())
        r = command();
    return r;
}

// A command answered with no value (L0, L1, R), tried again as retry does.
bool Sweep::command(const std::function<bool()> &command)
{
    return retry([&]() -> std::optional<int> { return command() ? std::optional(1) : std::nullopt; }).has_value();
}

bool Sweep::ensureRemote()
{
    if (!remote_)
        remote_ = command([&] { return decade_.setRemote(true); });
    return remote_;
}

Step Sweep::stop(const QString &why)
{
    stopReason_ = why;
    return Step::Stopped;
}

Step Sweep::stoppedBySignal()
{
    return stop(QString("stopped by signal %1").arg(SignalPipeCaught()));
}

QString Sweep::where() const
{
    return QString("COM%1 (%2)").arg(com_).arg(qs(device_));
}

// A command unanswered: the run stops, unless the device is gone, which
// is waited for. `lineOpen`: a prompt or a count is on the line.
Step Sweep::decadeFault(const QString &what, bool lineOpen)
{
    if (decade_.lost())
        return linkLost(lineOpen);
    return stop("no answer from the T-483 on " + where() + " to " + what);
}

// The device gone mid-run: the record kept as it is, the device's path
// looked for every 0.5 s until it is back with this run's identification
// (Redo: the point in progress is done again, under remote control anew),
// or the technician's q, a signal, or another decade on the path stops the
// run.
Step Sweep::linkLost(bool lineOpen)
{
    decade_.close();
    remote_ = false;
    knownVoltage_.reset();
    printErr(QString("%1%2: the link to the decade is lost: %3; waiting for it to return (%4 stops the run)\n")
                 .arg(lineOpen ? "\n" : "", pointName(current_), where(), scripted_ ? "Ctrl+C" : "q"));
    int said = Reconnect::Absent;
    for (;;) {
        const Step step = waitWithInput(Deadline::in_ms(RECONNECT_PERIOD_MS), "the link is lost", false);
        if (step != Step::Done)
            return step;
        const Reconnect r = reconnect(decade_, com_, device_, ident_);
        if (r.outcome == Reconnect::Back) {
            printErr(QString("%1: the decade is back on %2: the point is done again\n").arg(pointName(current_), where()));
            return Step::Redo;
        }
        if (r.outcome == Reconnect::Other)
            return stop(QString("the decade back on %1 is not this run's: identification %2, not %3")
                            .arg(where()).arg(r.ident).arg(ident_));
        if (r.outcome != said && r.outcome == Reconnect::Unopened)
            printErr(where() + " is there again but does not open: " + QString::fromLocal8Bit(r.error.c_str()) + "\n");
        if (r.outcome != said && r.outcome == Reconnect::Silent)
            printErr(where() + " is there again but no T-483 answers on it yet\n");
        said = r.outcome;
    }
}

// Waits until `until`, taking the technician's q, and s when `skips` (not
// in scripted runs).
Step Sweep::waitWithInput(Deadline until, const QString &during, bool skips)
{
    for (;;) {
        if (SignalPipeCaught())
            return stoppedBySignal();
        if (until.passed())
            return Step::Done;
        if (scripted_) {
            waitForSignal(until);
            continue;
        }
        std::string line;
        switch (input_.next(until, &line)) {
        case LineSource::Line: {
            const ReadingInput in = parseReading(line);
            if (in.kind == ReadingInput::Skip && skips)
                return Step::Skipped;
            if (in.kind == ReadingInput::Stop)
                return stop("stopped by the operator");
            printErr(during + (skips ? ": s skips the point, q stops the run\n" : ": q stops the run\n"));
            break;
        }
        case LineSource::End:
            return stop("the input ended");
        case LineSource::Signal:
        case LineSource::Timeout:
            break;
        }
    }
}

Step Sweep::waitVoltage(size_t index)
{
    const int want = plan_[index].voltage_v;
    int shown = -1;
    for (;;) {
        // The first answer may have come with the last point's reading.
        std::optional<int> v = knownVoltage_;
        knownVoltage_.reset();
        if (!v)
            v = askVoltage();
        if (!v)
            return decadeFault("M");
        if (*v == want) {
            if (shown >= 0)
                printErr(QString("%1: %2 V selected\n").arg(pointName(index)).arg(want));
            return Step::Done;
        }
        if (*v != shown) {
            printErr(QString("%1: select %2 V on the decade (it has %3)%4\n")
                         .arg(pointName(index))
                         .arg(want)
                         .arg(*v ? QString("%1 V").arg(*v) : QString("none"))
                         .arg(scripted_ ? "" : "; s skips the point, q stops the run"));
            shown = *v;
        }
        const Step step = waitWithInput(nextM_, QString("waiting for %1 V").arg(want));
        if (step != Step::Done)
            return step;
    }
}

// "M", the next one due 0.5 s after this one was asked, however long its
// answer took.
std::optional<int> Sweep::askVoltage()
{
    nextM_ = Deadline::in_ms(500);
    return retry([&] { return decade_.voltage(); });
}

// Once an M is due, whether the voltage is still the point's (Done) or was
// changed (Redo, said on standard error after a line end when a prompt or
// a count is on the line).
Step Sweep::checkVoltage(size_t index, const char *during, bool lineOpen)
{
    if (!nextM_.passed())
        return Step::Done;
    const std::optional<int> v = askVoltage();
    if (!v)
        return decadeFault("M", lineOpen);
    if (*v == plan_[index].voltage_v)
        return Step::Done;
    knownVoltage_ = *v;
    printErr(QString("%1%2: the decade's test voltage was changed to %3 %4: the point is done again\n")
                 .arg(lineOpen ? "\n" : "", pointName(index), *v ? QString("%1 V").arg(*v) : QString("none"), during));
    return Step::Redo;
}

Step Sweep::dwell(size_t index)
{
    const double seconds = plan_[index].dwell_s;
    if (seconds <= 0)
        return Step::Done;
    const Deadline until = Deadline::in_ms(std::llround(seconds * 1000));
    if (!tty_)
        printErr(QString("%1: dwell %2 s\n").arg(pointName(index)).arg(seconds));
    while (!until.passed()) {
        const long long leftMs = until.poll_ms();
        if (tty_)
            printErr(QString("\r%1: dwell, %2 s left ").arg(pointName(index)).arg((leftMs + 999) / 1000));
        // To the next whole second left, for the count shown, or to the
        // next M if that comes first.
        Deadline tick = Deadline::in_ms(std::min(leftMs, (leftMs - 1) % 1000 + 1));
        tick.at_ns = std::min(tick.at_ns, nextM_.at_ns);
        Step step = waitWithInput(tick, "dwell");
        if (step == Step::Done && !until.passed())
            step = checkVoltage(index, "during the dwell", tty_);
        if (step == Step::Redo)
            return step;
        if (step != Step::Done) {
            if (tty_)
                printErr("\n");
            return step;
        }
    }
    if (tty_)
        printErr(QString("\r%1: dwell done%2\n").arg(pointName(index)).arg(QString(12, ' ')));
    return Step::Done;
}

// The point's reading, waited for until `until`: from a readings file its
// line for the point, else the next line (blank and # lines passed over in
// scripted runs). *lineNo is the line's number in its file.
LineSource::Result Sweep::nextReading(size_t index, Deadline until, std::string *line, int *lineNo)
{
    for (;;) {
        if (byPoint_ && index < fileReadings_.size()) {
            *line = fileReadings_[index].first;
            *lineNo = fileReadings_[index].second;
            return LineSource::Line;
        }
        const LineSource::Result r = input_.next(until, line);
        if (r != LineSource::Line)
            return r;
        *lineNo = input_.lineNo();
        if (scripted_) {
            const std::string t = qs(*line).trimmed().toStdString();
            if (t.empty() || t[0] == '#')
                continue;
        }
        if (!byPoint_)
            return r;
        fileReadings_.emplace_back(*line, *lineNo);
    }
}

Step Sweep::reading(size_t index, double *mohm)
{
    bool prompted = false;
    for (;;) {
        if (!scripted_ && !prompted)
            printErr(QString("%1: the tester's reading [4072 (MOhm), 4.07G, 4.07e9 (ohms); s skip, q stop]: ").arg(pointName(index)));
        prompted = true;
        // The voltage asked for every 0.5 s while the reading is awaited.
        std::string line;
        int lineNo = 0;
        const LineSource::Result r = nextReading(index, nextM_, &line, &lineNo);
        if (r == LineSource::Signal)
            return stoppedBySignal();
        if (r == LineSource::End)
            return stop(scripted_ ? "the readings " + o_.readingsPath + " ended" : QString("the input ended"));
        if (r == LineSource::Timeout) {
            const Step step = checkVoltage(index, "while the reading was asked for", !scripted_);
            if (step != Step::Done)
                return step;
            continue;
        }
        const ReadingInput in = parseReading(line);
        switch (in.kind) {
        case ReadingInput::Value:
            *mohm = in.mohm;
            return Step::Done;
        case ReadingInput::Skip:
            return Step::Skipped;
        case ReadingInput::Stop:
            return stop("stopped by the operator");
        case ReadingInput::Bad:
            if (scripted_)
                return stop(QString("the readings %1, line %2: %3").arg(o_.readingsPath).arg(lineNo).arg(qs(in.why)));
            printErr(qs(in.why) + "\n");
            prompted = false;
            break;
        }
    }
}

// The plan's resistance set, at the plan's voltage (the M just answered).
Step Sweep::setResistance(const PlanPoint &p)
{
    std::string text = "R";  // appended: "R" + string trips GCC 12's -Wrestrict
    text += std::to_string(p.resistance_mohm);
    std::optional<int> set;
    // A decade put back to local control from its front panel keeps its
    // own value: L0 and R once more.
    for (int attempt = 0; attempt < 2 && set != p.resistance_mohm; attempt++) {
        if (attempt)
            remote_ = false;
        if (!ensureRemote())
            return decadeFault("L0");
        if (!command([&] { return decade_.setResistance(p.resistance_mohm); }))
            return decadeFault(qs(text));
        set = retry([&] { return decade_.resistance(); });
        if (!set)
            return decadeFault("K");
    }
    if (*set != p.resistance_mohm)
        return stop(QString("the decade reports %1 MOhm after %2").arg(*set).arg(qs(text)));
    return Step::Done;
}

Step Sweep::point(size_t index)
{
    const PlanPoint &p = plan_[index];
    Step step = Step::Done;
    double mohm = 0;
    current_ = index;
    for (;;) {
        step = waitVoltage(index);
        if (step == Step::Done)
            step = setResistance(p);
        if (step == Step::Done)
            step = dwell(index);
        if (step == Step::Done)
            step = reading(index, &mohm);
        if (step == Step::Redo)
            continue;
        if (step != Step::Done)
            break;
        // The voltage still the plan's once the reading is in; the answer
        // stands for the next point's first check.
        const std::optional<int> v = askVoltage();
        if (!v && (step = decadeFault("M")) == Step::Redo)
            continue;
        if (!v)
            return step;
        knownVoltage_ = *v;
        if (*v == p.voltage_v)
            break;
        printErr(QString("%1: the decade's test voltage was changed to %2 during the point: the reading is not recorded, "
                         "the point is done again\n")
                     .arg(pointName(index))
                     .arg(*v ? QString("%1 V").arg(*v) : QString("none")));
    }
    if (step == Step::Stopped)
        return step;
    return recordPoint(index, step, mohm);
}

// The point's row on disk, then its result on standard error.
Step Sweep::recordPoint(size_t index, Step step, double mohm)
{
    const PlanPoint &p = plan_[index];
    RecordRow row;
    row.point = int(index + 1);
    row.resistance_mohm = p.resistance_mohm;
    row.voltage_v = p.voltage_v;
    row.tolerance_pct = p.tolerance_pct;
    row.time_utc = utcNow().toStdString();
    QString shown;
    if (step == Step::Skipped) {
        row.verdict = Verdict::Skipped;
        shown = verdictWord(Verdict::Skipped);
    } else {
        const Judgement j = judge(mohm, p.resistance_mohm, p.tolerance_pct);
        row.reading_mohm = mohm;
        row.error_pct = j.error_pct;
        row.verdict = j.verdict;
        shown = QString("read %1 MOhm, error %2 % (tolerance %3 %): %4")
                    .arg(qs(recordNumber(mohm)), qs(j.error_text), qs(recordNumber(p.tolerance_pct)), QString(verdictWord(j.verdict)));
    }
    std::string error;
    if (!file_.append(row, &error))
        return stop(qs(error));
    record_.rows.push_back(row);
    printErr(pointName(index) + ": " + shown + "\n");
    return step;
}

// The summary of the record as it stands; the exit status.
int Sweep::finish()
{
    return printSummary(ctx_, record_.rows, int(plan_.size()), o_.recordPath, stopReason_);
}

// The decade opened and known for a T-483: its identification in *ident.
int Sweep::findDecade(int *ident)
{
    const int status = openDecade(ctx_, decade_);
    if (status != CTL_DONE)
        return status;
    com_ = decade_.port();
    device_ = decade_.device();
    const std::optional<int> id = decade_.identify();  // asked again there when need be
    if (!id)
        return noAnswer(ctx_, decade_);
    if (!Decade::isT483(*id)) {
        complain(ctx_, QString("not a T-483 on COM%1 (%2): identification %3").arg(decade_.port()).arg(qs(decade_.device())).arg(*id));
        return CTL_NO_INSTRUMENT;
    }
    *ident = ident_ = *id;
    return CTL_DONE;
}

// The record made, or the one of --resume opened to continue it.
int Sweep::openRecord(int ident)
{
    const std::string recordPath = QFile::encodeName(o_.recordPath).toStdString();
    std::string error;
    if (o_.resume) {
        if (qs(record_.value("decade_identification")) != QString::number(ident)) {
            complain(ctx_, QString("cannot resume %1: it was made with the decade of identification %2, this one's is %3; the record is left as it is")
                               .arg(o_.recordPath, qs(record_.value("decade_identification")))
                               .arg(ident));
            return CTL_USAGE;
        }
        if (!file_.cutPartialLine(record_.completeBytes, &error)) {
            complain(ctx_, qs(error));
            return CTL_USAGE;
        }
        printErr(QString("resuming %1 (started %2) at point %3 of %4%5\n")
                     .arg(o_.recordPath, qs(record_.value("started_utc")))
                     .arg(record_.rows.size() + 1)
                     .arg(plan_.size())
                     .arg(record_.partialLine ? "; an unfinished last line was cut" : ""));
        return CTL_DONE;
    }
    const std::vector<std::pair<std::string, std::string>> header = {
        {"program", "t483ctl " T483_VERSION},
        {"started_utc", utcNow().toStdString()},
        {"decade_identification", std::to_string(ident)},
        {"port", "COM" + std::to_string(decade_.port())},
        {"device", decade_.device()},
        {"uut", o_.uut.toStdString()},
        {"operator", o_.operatorName.toStdString()},
        {"plan", o_.planPath.toStdString()},
        {"plan_sha256", planSha_.toStdString()},
        {"plan_points", std::to_string(plan_.size())},
        {"decision_rule", DECISION_RULE},
    };
    bool exists = false;
    if (!file_.create(recordPath, header, &error, &exists)) {
        if (exists)
            return usageError(ctx_, "the record " + o_.recordPath + " exists: --resume continues it; a new run needs a new file");
        complain(ctx_, qs(error));
        return CTL_USAGE;
    }
    return CTL_DONE;
}

int Sweep::run()
{
    int status = prepare();
    if (status != CTL_DONE || plan_.empty())
        return status;
    if (o_.resume && record_.rows.size() == plan_.size()) {
        printErr(QString("%1: every point of the plan is recorded\n").arg(o_.recordPath));
        return finish();
    }
    tty_ = isatty(STDERR_FILENO) != 0;
    int ident = 0;
    if ((status = findDecade(&ident)) != CTL_DONE)
        return status;

    // Ctrl+C, a closed terminal, a TERM: the point in progress is dropped,
    // the decade handed back, the record left to resume.
    SignalPipeOpen({SIGINT, SIGTERM, SIGHUP});

    if ((status = openRecord(ident)) != CTL_DONE)
        return status;
    for (size_t k = record_.rows.size(); k < plan_.size(); k++)
        if (point(k) == Step::Stopped)
            break;
    file_.close();
    if (!stopReason_.isEmpty())
        complain(ctx_, stopReason_ + QString("; %1 of %2 points recorded, --resume continues").arg(record_.rows.size()).arg(plan_.size()));

    // Back to the front panel, also after a signal or a fault.
    SignalPipeForget();
    SignalPipeDrain();
    if (decade_.isOpen() && !decade_.lost() && !command([&] { return decade_.setRemote(false); }))
        complain(ctx_, "the decade did not answer L1: it may still be under remote control");
    return finish();
}

}  // namespace

int runSweep(CtlContext &ctx, const SweepOptions &options)
{
    Sweep sweep(ctx, options);
    return sweep.run();
}
