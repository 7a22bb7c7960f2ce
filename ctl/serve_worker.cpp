// serve's decade on its thread: the commands carried out there, in turn.
#include "ctl/serve_worker.h"

DecadeWorker::DecadeWorker(const CtlContext &ctx, Decade &decade) : ctx_(ctx), decade_(decade)
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
}

void DecadeWorker::stop()
{
    thread_.quit();
    thread_.wait();
}

void DecadeWorker::observe(QObject *receiver,
                           std::function<void(const DecadeEffects &, const std::string &by)> observer)
{
    observerReceiver_ = receiver;
    observer_ = std::move(observer);
}

DecadeEffects DecadeWorker::finish(bool failed, const std::string &by)
{
    if (failed && decade_.lost() && !goneReported_) {
        goneReported_ = true;
        complain(ctx_, QString("serve: the device is gone: COM%1 (%2)")
                           .arg(decade_.port()).arg(QString::fromStdString(decade_.device())));
    }
    DecadeEffects effects = std::move(instrument_.effects);
    instrument_.effects = {};
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
        finish(outcome.error != scpi::NO_ERROR, by);
        QMetaObject::invokeMethod(receiver, [done, outcome] { done(outcome); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

void DecadeWorker::run(Job job, const std::string &by, QObject *receiver,
                       std::function<void(const DecadeEffects &)> done)
{
    QMetaObject::invokeMethod(&onThread_, [this, job = std::move(job), by, receiver, done = std::move(done)] {
        job(instrument_, state_);
        const DecadeEffects effects = finish(instrument_.effects.unanswered, by);
        QMetaObject::invokeMethod(receiver, [done, effects] { done(effects); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}
