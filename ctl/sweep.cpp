// t483ctl sweep: a guided calibration sweep of an insulation-resistance
// tester against the decade, point by point from a plan, each point's
// reading and verdict recorded to a file on disk before the next begins.
//
// Standard output holds the summary alone (or its JSON); the prompts, the
// waits and each point's result go to standard error, so a log of the run
// and its result can be kept apart. The technician's answers come from
// standard input, or from --readings FILE in scripted runs.
#include "ctl/decade.h"
#include "ctl/plan.h"
#include "ctl/record.h"
#include "ctl/verbs.h"
#include "platform/clock.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonObject>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

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
    "Prompts and progress go to standard error, the summary to standard output.\n"
    "\n"
    "Exit status: 0 every point passed; 1 a point failed or was skipped, the run\n"
    "stopped, or the decade did not answer; 2 usage, a bad plan, a record that exists\n"
    "(without --resume) or is another plan's; 3 the port could not be opened.";

// Waits and the dwell are timed on the monotonic clock: a clock set while
// a point dwells must not shorten or stretch it.
qint64 nowMs()
{
    return MonotonicNs() / 1000000;
}

volatile sig_atomic_t stopSignal = 0;

void onSignal(int signal)
{
    stopSignal = signal;
}

// Lines from a descriptor (standard input or a readings file), waited for
// with poll so that a signal or a time limit ends the wait.
class LineSource {
public:
    enum Result { Line, End, Timeout, Signal };
    explicit LineSource(int fd = -1) : fd_(fd) {}
    int fd() const { return fd_; }
    int lineNo() const { return lineNo_; }

    // The next line (its line end dropped). timeoutMs < 0: no limit.
    Result next(int timeoutMs, std::string *line)
    {
        const qint64 until = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos || (ended_ && !buffer_.empty())) {
                *line = buffer_.substr(0, nl);
                buffer_.erase(0, nl == std::string::npos ? nl : nl + 1);
                if (!line->empty() && line->back() == '\r')
                    line->pop_back();
                lineNo_++;
                return Line;
            }
            if (ended_)
                return End;
            if (stopSignal)
                return Signal;
            const qint64 left = until < 0 ? 200 : until - nowMs();
            if (left <= 0)
                return Timeout;
            // Short polls: a signal just before poll() is seen in 0.2 s.
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, int(std::min<qint64>(left, 200))) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0)
                buffer_.append(buf, size_t(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                ended_ = true;
        }
    }

private:
    int fd_;
    std::string buffer_;
    bool ended_ = false;
    int lineNo_ = 0;
};

// Whether text holds control characters (line ends above all), which a
// record's header cannot keep.
bool hasControl(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

QString q(const std::string &s)
{
    return QString::fromStdString(s);
}

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

class Sweep {
public:
    Sweep(CtlContext &ctx) : ctx_(ctx) {}
    int run(const QStringList &args);

private:
    enum Outcome { Done, Skipped, Stopped };

    int prepare(const QStringList &args);
    bool checkResumed();
    Outcome point(size_t index);
    Outcome waitVoltage(size_t index);
    Outcome dwell(size_t index);
    Outcome reading(size_t index, double *mohm);
    Outcome waitWithInput(int ms, const QString &during);
    std::optional<int> retry(const std::function<std::optional<int>()> &command);
    bool ensureRemote();
    Outcome decadeFault(const QString &what);
    Outcome stop(const QString &why);
    int finish();
    QString pointName(size_t index) const;

    CtlContext &ctx_;
    Decade decade_;
    QString planPath_, recordPath_, readingsPath_, uut_, operator_;
    bool resume_ = false;
    QByteArray planBytes_;
    QString planSha_;
    std::vector<PlanPoint> plan_;
    Record record_;  // the rows recorded so far
    RecordFile file_;
    LineSource input_;       // the technician's answers, or the readings file
    bool scripted_ = false;  // answers from --readings
    bool tty_ = false;       // standard error is a terminal
    bool remote_ = false;
    std::optional<int> knownVoltage_;  // an M answered just now
    QString stopReason_;
};

QString Sweep::pointName(size_t index) const
{
    const PlanPoint &p = plan_[index];
    return QString("point %1/%2 (%3 MOhm at %4 V)").arg(index + 1).arg(plan_.size()).arg(p.resistance_mohm).arg(p.voltage_v);
}

int Sweep::prepare(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(DESCRIPTION);
    parser.addPositionalArgument("PLAN", "The plan, a CSV file.", "PLAN");
    const QCommandLineOption record("record", "The record to write (a new file), or to continue with --resume.", "RECORD");
    const QCommandLineOption resume("resume", "Continue RECORD, a record of the same plan, at its first point not done.");
    const QCommandLineOption readings("readings", "Take the readings from FILE, one a line (or skip), - for standard input.", "FILE");
    const QCommandLineOption uut("uut", "The tester under test, for the record.", "TEXT");
    const QCommandLineOption op("operator", "Who calibrates, for the record.", "TEXT");
    parser.addOptions({record, resume, readings, uut, op});
    int status = CTL_DONE;
    if (!parseVerb(parser, args, ctx_, &status))
        return status;
    const QStringList rest = parser.positionalArguments().mid(1);
    if (rest.size() != 1)
        return usageError(ctx_, "sweep takes one PLAN");
    if (!parser.isSet(record) || parser.value(record).isEmpty())
        return usageError(ctx_, "sweep needs --record RECORD");
    planPath_ = rest.first();
    recordPath_ = parser.value(record);
    resume_ = parser.isSet(resume);
    readingsPath_ = parser.value(readings);
    uut_ = parser.value(uut);
    operator_ = parser.value(op);
    for (const auto &[name, value] : {std::pair{"PLAN", planPath_}, std::pair{"--uut", uut_}, std::pair{"--operator", operator_},
                                      std::pair{"--record", recordPath_}})
        if (hasControl(value))
            return usageError(ctx_, QString("%1 must not hold line ends or other control characters").arg(name));

    QFile planFile(planPath_);
    if (!planFile.open(QIODevice::ReadOnly))
        return usageError(ctx_, "cannot read the plan " + planPath_ + ": " + planFile.errorString());
    planBytes_ = planFile.readAll();
    std::string error;
    if (!parsePlan(planBytes_.toStdString(), &plan_, &error))
        return usageError(ctx_, "bad plan " + planPath_ + ": " + q(error));
    planSha_ = QString::fromLatin1(QCryptographicHash::hash(planBytes_, QCryptographicHash::Sha256).toHex());

    if (!readingsPath_.isEmpty()) {
        scripted_ = true;
        if (readingsPath_ == "-") {
            input_ = LineSource(STDIN_FILENO);
        } else {
            const int fd = ::open(QFile::encodeName(readingsPath_).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return usageError(ctx_, "cannot read the readings " + readingsPath_ + ": " + QString::fromLocal8Bit(strerror(errno)));
            input_ = LineSource(fd);
        }
    } else {
        input_ = LineSource(STDIN_FILENO);
    }

    const std::string recordPath = QFile::encodeName(recordPath_).toStdString();
    struct stat st {};
    if (!resume_) {
        if (::lstat(recordPath.c_str(), &st) == 0)
            return usageError(ctx_, "the record " + recordPath_ + " exists: --resume continues it; a new run needs a new file");
    } else {
        if (!readRecord(recordPath, &record_, &error))
            return usageError(ctx_, "cannot resume: " + q(error));
        if (!checkResumed())
            return CTL_USAGE;
    }
    return CTL_DONE;
}

// Whether the record read for --resume is this plan's, whole and as this
// program writes them, and agrees with --uut and --operator when given.
bool Sweep::checkResumed()
{
    auto refuse = [&](const QString &why) {
        usageError(ctx_, "cannot resume " + recordPath_ + ": " + why + "; the record is left as it is");
        return false;
    };
    for (const char *key : RECORD_KEYS)
        if (!record_.has(key))
            return refuse(QString("its header is incomplete (no %1)").arg(key));
    if (q(record_.value("plan_sha256")) != planSha_)
        return refuse("it is the record of another plan: its plan_sha256 is " + q(record_.value("plan_sha256")) + ", " +
                      planPath_ + "'s is " + planSha_);
    if (record_.value("decision_rule") != DECISION_RULE)
        return refuse("its decision rule is not \"" + QString(DECISION_RULE) + "\"");
    if (!uut_.isEmpty() && uut_ != q(record_.value("uut")))
        return refuse("it is the record of the UUT \"" + q(record_.value("uut")) + "\"");
    if (!operator_.isEmpty() && operator_ != q(record_.value("operator")))
        return refuse("its operator is \"" + q(record_.value("operator")) + "\"");
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
    if (!r && !decade_.lost() && !stopSignal)
        r = command();
    return r;
}

bool Sweep::ensureRemote()
{
    if (!remote_)
        remote_ = retry([&]() -> std::optional<int> { return decade_.setRemote(true) ? std::optional(1) : std::nullopt; }).has_value();
    return remote_;
}

Sweep::Outcome Sweep::stop(const QString &why)
{
    stopReason_ = why;
    return Stopped;
}

Sweep::Outcome Sweep::decadeFault(const QString &what)
{
    const QString where = QString("COM%1 (%2)").arg(decade_.port()).arg(q(decade_.device()));
    return stop(decade_.lost() ? "the device is gone: " + where : "no answer from the T-483 on " + where + " to " + what);
}

// Waits ms, taking the technician's s or q (not in scripted runs).
Sweep::Outcome Sweep::waitWithInput(int ms, const QString &during)
{
    const qint64 until = nowMs() + ms;
    for (;;) {
        const qint64 left = until - nowMs();
        if (stopSignal)
            return stop(QString("stopped by signal %1").arg(int(stopSignal)));
        if (left <= 0)
            return Done;
        if (scripted_) {
            ::poll(nullptr, 0, int(std::min<qint64>(left, 200)));
            continue;
        }
        std::string line;
        switch (input_.next(int(left), &line)) {
        case LineSource::Line: {
            const ReadingInput in = parseReading(line);
            if (in.kind == ReadingInput::Skip)
                return Skipped;
            if (in.kind == ReadingInput::Stop)
                return stop("stopped by the operator");
            printErr(during + ": s skips the point, q stops the run\n");
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

Sweep::Outcome Sweep::waitVoltage(size_t index)
{
    const int want = plan_[index].voltage_v;
    int shown = -1;
    for (;;) {
        // An M every 0.5 s, however long its answer took; the first may
        // have come with the last point's reading.
        const qint64 asked = nowMs();
        std::optional<int> v = knownVoltage_;
        knownVoltage_.reset();
        if (!v)
            v = retry([&] { return decade_.voltage(); });
        if (!v)
            return decadeFault("M");
        if (*v == want) {
            if (shown >= 0)
                printErr(QString("%1: %2 V selected\n").arg(pointName(index)).arg(want));
            return Done;
        }
        if (*v != shown) {
            printErr(QString("%1: select %2 V on the decade (it has %3)%4\n")
                         .arg(pointName(index))
                         .arg(want)
                         .arg(*v ? QString("%1 V").arg(*v) : QString("none"))
                         .arg(scripted_ ? "" : "; s skips the point, q stops the run"));
            shown = *v;
        }
        const int left = int(std::max<qint64>(0, asked + 500 - nowMs()));
        const Outcome o = waitWithInput(left, QString("waiting for %1 V").arg(want));
        if (o != Done)
            return o;
    }
}

Sweep::Outcome Sweep::dwell(size_t index)
{
    const double seconds = plan_[index].dwell_s;
    if (seconds <= 0)
        return Done;
    const qint64 start = nowMs();
    const qint64 until = start + qint64(std::llround(seconds * 1000));
    if (!tty_)
        printErr(QString("%1: dwell %2 s\n").arg(pointName(index)).arg(seconds));
    for (;;) {
        const qint64 left = until - nowMs();
        if (left <= 0)
            break;
        if (tty_)
            printErr(QString("\r%1: dwell, %2 s left ").arg(pointName(index)).arg((left + 999) / 1000));
        const Outcome o = waitWithInput(int(std::min<qint64>(left, (left - 1) % 1000 + 1)), "dwell");
        if (o != Done) {
            if (tty_)
                printErr("\n");
            return o;
        }
    }
    if (tty_)
        printErr(QString("\r%1: dwell done%2\n").arg(pointName(index)).arg(QString(12, ' ')));
    return Done;
}

Sweep::Outcome Sweep::reading(size_t index, double *mohm)
{
    for (;;) {
        if (!scripted_)
            printErr(QString("%1: the tester's reading [4072 (MOhm), 4.07G, 4.07e9 (ohms); s skip, q stop]: ").arg(pointName(index)));
        std::string line;
        const LineSource::Result r = input_.next(-1, &line);
        if (r == LineSource::Signal)
            return stop(QString("stopped by signal %1").arg(int(stopSignal)));
        if (r == LineSource::End)
            return stop(scripted_ ? "the readings " + readingsPath_ + " ended" : QString("the input ended"));
        if (r != LineSource::Line)
            continue;
        if (scripted_) {
            const std::string t = QString::fromStdString(line).trimmed().toStdString();
            if (t.empty() || t[0] == '#')
                continue;
        }
        const ReadingInput in = parseReading(line);
        switch (in.kind) {
        case ReadingInput::Value:
            *mohm = in.mohm;
            return Done;
        case ReadingInput::Skip:
            return Skipped;
        case ReadingInput::Stop:
            return stop("stopped by the operator");
        case ReadingInput::Bad:
            if (scripted_)
                return stop(QString("the readings %1, line %2: %3").arg(readingsPath_).arg(input_.lineNo()).arg(q(in.why)));
            printErr(q(in.why) + "\n");
            break;
        }
    }
}

Sweep::Outcome Sweep::point(size_t index)
{
    const PlanPoint &p = plan_[index];
    RecordRow row;
    row.point = int(index + 1);
    row.resistance_mohm = p.resistance_mohm;
    row.voltage_v = p.voltage_v;
    row.tolerance_pct = p.tolerance_pct;

    Outcome o = Done;
    double mohm = 0;
    for (;;) {
        o = waitVoltage(index);
        if (o == Done) {
            // Never an R at another voltage: the M just answered is the plan's.
            const std::string command = "R" + std::to_string(p.resistance_mohm);
            std::optional<int> set;
            // A decade put back to local control from its front panel keeps
            // its own value: L0 and R once more.
            for (int attempt = 0; attempt < 2 && set != p.resistance_mohm; attempt++) {
                if (attempt)
                    remote_ = false;
                if (!ensureRemote())
                    return decadeFault("L0");
                if (!retry([&]() -> std::optional<int> { return decade_.setResistance(p.resistance_mohm) ? std::optional(1) : std::nullopt; }))
                    return decadeFault(q(command));
                set = retry([&] { return decade_.resistance(); });
                if (!set)
                    return decadeFault("K");
            }
            if (*set != p.resistance_mohm)
                return stop(QString("the decade reports %1 MOhm after %2").arg(*set).arg(q(command)));
            o = dwell(index);
        }
        if (o == Done)
            o = reading(index, &mohm);
        if (o != Done)
            break;
        // The voltage still the plan's once the reading is in; the answer
        // stands for the next point's first check.
        const std::optional<int> v = retry([&] { return decade_.voltage(); });
        if (!v)
            return decadeFault("M");
        knownVoltage_ = *v;
        if (*v == p.voltage_v)
            break;
        printErr(QString("%1: the decade's test voltage was changed to %2 during the point: the reading is not recorded, "
                         "the point is done again\n")
                     .arg(pointName(index))
                     .arg(*v ? QString("%1 V").arg(*v) : QString("none")));
    }
    if (o == Stopped)
        return o;
    row.time_utc = utcNow().toStdString();
    QString shown;
    if (o == Skipped) {
        row.verdict = "skipped";
        shown = "skipped";
    } else {
        const Verdict v = judge(mohm, p.resistance_mohm, p.tolerance_pct);
        row.reading_mohm = mohm;
        row.error_pct = v.error_pct;
        row.verdict = v.pass ? "pass" : "fail";
        shown = QString("read %1 MOhm, error %2 % (tolerance %3 %): %4")
                    .arg(q(recordNumber(mohm)), q(v.error_text), q(recordNumber(p.tolerance_pct)), q(row.verdict));
    }
    std::string error;
    if (!file_.append(row, &error))
        return stop(q(error));
    record_.rows.push_back(row);
    printErr(pointName(index) + ": " + shown + "\n");
    return o;
}

// The summary of the record as it stands; the exit status.
int Sweep::finish()
{
    int passed = 0, failed = 0, skipped = 0;
    const RecordRow *worst = nullptr;
    for (const RecordRow &r : record_.rows) {
        passed += r.verdict == "pass";
        failed += r.verdict == "fail";
        skipped += r.verdict == "skipped";
        if (r.error_pct && (!worst || std::fabs(*r.error_pct) > std::fabs(*worst->error_pct)))
            worst = &r;
    }
    const int points = int(plan_.size());
    const int notDone = points - int(record_.rows.size());
    QString worstText = "none";
    QJsonObject json{{"record", recordPath_}, {"points", points}, {"passed", passed}, {"failed", failed},
                     {"skipped", skipped}, {"not_done", notDone}};
    if (worst) {
        char buf[512];
        const auto e = std::to_chars(buf, buf + sizeof buf, *worst->error_pct, std::chars_format::fixed, 3);
        worstText = QString("%1 % at point %2 (%3 MOhm at %4 V)")
                        .arg(QString::fromLatin1(buf, e.ptr - buf))
                        .arg(worst->point)
                        .arg(worst->resistance_mohm)
                        .arg(worst->voltage_v);
        json["worst_error_pct"] = *worst->error_pct;
        json["worst_point"] = worst->point;
    }
    if (!stopReason_.isEmpty())
        json["stopped"] = stopReason_;
    QString plain = QString("points: %1\npassed: %2\nfailed: %3\nskipped: %4\n").arg(points).arg(passed).arg(failed).arg(skipped);
    if (notDone)
        plain += QString("not done: %1 (--resume continues)\n").arg(notDone);
    plain += "worst error: " + worstText + "\n";
    printResult(ctx_, json, plain);
    return passed == points ? CTL_DONE : 1;
}

int Sweep::run(const QStringList &args)
{
    int status = prepare(args);
    if (status != CTL_DONE || plan_.empty())
        return status;
    if (resume_ && record_.rows.size() == plan_.size()) {
        printErr(QString("%1: every point of the plan is recorded\n").arg(recordPath_));
        return finish();
    }
    tty_ = isatty(STDERR_FILENO) != 0;

    status = openDecade(ctx_, decade_);
    if (status != CTL_DONE)
        return status;
    const std::optional<int> ident = retry([&] { return decade_.identify(); });
    if (!ident)
        return noAnswer(ctx_, decade_);
    if (!Decade::isT483(*ident)) {
        complain(ctx_, QString("not a T-483 on COM%1 (%2): identification %3").arg(decade_.port()).arg(q(decade_.device())).arg(*ident));
        return CTL_NO_INSTRUMENT;
    }

    // Ctrl+C, a closed terminal, a TERM: the point in progress is dropped,
    // the decade handed back, the record left to resume.
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);

    const std::string recordPath = QFile::encodeName(recordPath_).toStdString();
    std::string error;
    if (resume_) {
        if (q(record_.value("decade_identification")) != QString::number(*ident)) {
            complain(ctx_, QString("cannot resume %1: it was made with the decade of identification %2, this one's is %3; the record is left as it is")
                               .arg(recordPath_, q(record_.value("decade_identification")))
                               .arg(*ident));
            return CTL_USAGE;
        }
        if (!file_.reopen(recordPath, record_.completeBytes, &error)) {
            complain(ctx_, q(error));
            return CTL_USAGE;
        }
        printErr(QString("resuming %1 (started %2) at point %3 of %4%5\n")
                     .arg(recordPath_, q(record_.value("started_utc")))
                     .arg(record_.rows.size() + 1)
                     .arg(plan_.size())
                     .arg(record_.partialLine ? "; an unfinished last line was cut" : ""));
    } else {
        const std::vector<std::pair<std::string, std::string>> header = {
            {"program", "t483ctl " T483_VERSION},
            {"started_utc", utcNow().toStdString()},
            {"decade_identification", std::to_string(*ident)},
            {"port", "COM" + std::to_string(decade_.port())},
            {"device", decade_.device()},
            {"uut", uut_.toStdString()},
            {"operator", operator_.toStdString()},
            {"plan", planPath_.toStdString()},
            {"plan_sha256", planSha_.toStdString()},
            {"plan_points", std::to_string(plan_.size())},
            {"decision_rule", DECISION_RULE},
        };
        bool exists = false;
        if (!file_.create(recordPath, header, &error, &exists)) {
            if (exists)
                return usageError(ctx_, "the record " + recordPath_ + " exists: --resume continues it; a new run needs a new file");
            complain(ctx_, q(error));
            return CTL_USAGE;
        }
    }

    for (size_t k = record_.rows.size(); k < plan_.size(); k++)
        if (point(k) == Stopped)
            break;
    file_.close();
    if (!stopReason_.isEmpty())
        complain(ctx_, stopReason_ + QString("; %1 of %2 points recorded, --resume continues").arg(record_.rows.size()).arg(plan_.size()));

    // Back to the front panel, also after a signal or a fault.
    stopSignal = 0;
    if (!decade_.lost() && !retry([&]() -> std::optional<int> { return decade_.setRemote(false) ? std::optional(1) : std::nullopt; }))
        complain(ctx_, "the decade did not answer L1: it may still be under remote control");
    return finish();
}

}  // namespace

int sweepVerb(CtlContext &ctx, const QStringList &args)
{
    Sweep sweep(ctx);
    return sweep.run(args);
}
