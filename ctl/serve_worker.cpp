// serve's decade on its thread: the commands carried out there, in turn,
// and the device watched for when it has gone.
#include "ctl/serve_worker.h"

#include "ctl/reconnect.h"

DecadeWorker::DecadeWorker(const CtlContext &ctx, Decade &decade, int ident)
    : ctx_(ctx), decade_(decade), com_(decade.port()), ident_(ident), device_(decade.device())
{
    thread_.setObjectName("decade");
    onThread_.moveToThread(&thread_);
}

DecadeWorker::~DecadeWorker()
{
    stop();
}

void DecadeWorker::start()
{
    thread_.start();
    QMetaObject::invokeMethod(&onThread_, [this] {
        watch_ = std::make_unique<QTimer>();
        QObject::connect(watch_.get(), &QTimer::timeout, [this] { watch(); });
        watch_->start(RECONNECT_PERIOD_MS);
    }, Qt::QueuedConnection);
}

void DecadeWorker::stop()
{
    if (!thread_.isRunning())
        return;
    // The timer is the thread's, and goes there.
    QMetaObject::invokeMethod(&onThread_, [this] { watch_.reset(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void DecadeWorker::observe(QObject *receiver,
                           std::function<void(const DecadeEffects &, const std::string &by)> observer)
{
    observerReceiver_ = receiver;
    observer_ = std::move(observer);
}

DecadeEffects DecadeWorker::finish(const std::string &by)
{
    if (decade_.isOpen() && decade_.lost())
        lose();
    DecadeEffects effects = std::move(instrument_.effects);
    instrument_.effects = {};
    effects.lost = gone_;
    effects.remoteNow = state_.remote;
    if (observer_ && !effects.sent.empty())
        QMetaObject::invokeMethod(observerReceiver_, [observer = observer_, effects, by] { observer(effects, by); },
                                  Qt::QueuedConnection);
    return effects;
}

void DecadeWorker::execute(const scpi::Command &command, QObject *receiver,
                           std::function<void(const scpi::CommandResult &)> done, const std::string &by)
{
    QMetaObject::invokeMethod(&onThread_, [this, command, receiver, done = std::move(done), by] {
        const scpi::CommandResult outcome = scpi::execute(command, instrument_, state_);
        finish(by);
        QMetaObject::invokeMethod(receiver, [done, outcome] { done(outcome); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

void DecadeWorker::run(Job job, const std::string &by, QObject *receiver,
                       std::function<void(const DecadeEffects &)> done)
{
    QMetaObject::invokeMethod(&onThread_, [this, job = std::move(job), by, receiver, done = std::move(done)] {
        job(instrument_, state_);
        const DecadeEffects effects = finish(by);
        QMetaObject::invokeMethod(receiver, [done, effects] { done(effects); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

QString DecadeWorker::where() const
{
    return QString("COM%1 (%2)").arg(com_).arg(qs(device_));
}

void DecadeWorker::lose()
{
    decade_.close();
    gone_ = true;
    said_ = -1;
    complain(ctx_, "serve: the device is gone: " + where() + "; waiting for it to return");
}

// Connected: whether the device's path is still there (an idle server
// sees the unplug too). Gone: one look for it, each outcome said once in
// a row; another decade on the path is tried again only once the path has
// gone and come back.
void DecadeWorker::watch()
{
    if (!gone_) {
        if (!devicePresent(device_))
            lose();
        return;
    }
    if (said_ == Reconnect::Other) {
        if (!devicePresent(device_))
            said_ = Reconnect::Absent;
        return;
    }
    const Reconnect r = reconnect(decade_, com_, device_, ident_);
    if (r.outcome == said_)
        return;
    said_ = r.outcome;
    switch (r.outcome) {
    case Reconnect::Absent:
        break;
    case Reconnect::Unopened:
        complain(ctx_, "serve: " + where() + " is there again but does not open: " + QString::fromLocal8Bit(r.error.c_str()));
        break;
    case Reconnect::Silent:
        complain(ctx_, "serve: " + where() + " is there again but no T-483 answers on it yet");
        break;
    case Reconnect::Other:
        complain(ctx_, QString("serve: %1 is there again but its identification is %2, not %3: not the decade served")
                           .arg(where()).arg(r.ident).arg(ident_));
        break;
    case Reconnect::Back:
        gone_ = false;
        state_ = {};  // a decade that came back is put under remote control anew
        complain(ctx_, QString("serve: the device is back: %1, identification %2").arg(where()).arg(r.ident));
        break;
    }
}
