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

void DecadeWorker::execute(const scpi::Command &command, QObject *receiver,
                           std::function<void(const scpi::CommandResult &)> done)
{
    QMetaObject::invokeMethod(&onThread_, [this, command, receiver, done = std::move(done)] {
        const scpi::CommandResult outcome = scpi::execute(command, instrument_, state_);
        if (outcome.error && decade_.lost() && !goneReported_) {
            goneReported_ = true;
            complain(ctx_, QString("serve: the device is gone: COM%1 (%2)")
                               .arg(decade_.port()).arg(QString::fromStdString(decade_.device())));
        }
        QMetaObject::invokeMethod(receiver, [done, outcome] { done(outcome); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}
