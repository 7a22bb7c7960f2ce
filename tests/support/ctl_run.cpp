#include "ctl_run.h"

#include "slack.h"

#include <QProcess>
#include <QProcessEnvironment>

CtlRun runCtl(const QStringList &args, const CtlSetup &setup)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = setup.env.begin(); it != setup.env.end(); ++it)
        it.value().isEmpty() ? env.remove(it.key()) : env.insert(it.key(), it.value());
    p.setProcessEnvironment(env);
    if (!setup.dir.isEmpty())
        p.setWorkingDirectory(setup.dir);
    p.start(qEnvironmentVariable("T483_CTL"), args);
    p.closeWriteChannel();
    CtlRun r;
    const bool ended = p.waitForFinished(slack(setup.timeoutMs));
    if (!ended) {
        p.kill();
        p.waitForFinished();
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    if (ended && p.exitStatus() == QProcess::NormalExit)
        r.status = p.exitCode();
    return r;
}
