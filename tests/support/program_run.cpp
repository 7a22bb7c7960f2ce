// Test support: the real executable as a child process.
#include "program_run.h"

#include "slack.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtDebug>
#include <grp.h>
#include <unistd.h>

ProgramRun runProgram(const ProgramSetup &setup)
{
    ProgramRun run;
    const QString exe = qEnvironmentVariable("T483_EXE");
    if (exe.isEmpty()) {
        qWarning("T483_EXE is not set");
        return run;
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return run;
    if (!setup.ini.isNull()) {
        QFile ini(dir.filePath("T483.INI"));
        if (!ini.open(QIODevice::WriteOnly) || ini.write(setup.ini) < 0)
            return run;
    }

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (setup.noDisplay) {
        for (const char *v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(v);
    } else if (!setup.display.isEmpty()) {
        env.remove("WAYLAND_DISPLAY");
        env.insert("DISPLAY", setup.display);
        env.insert("QT_QPA_PLATFORM", "xcb");
    } else {
        env.insert("QT_QPA_PLATFORM", "offscreen");
    }
    if (!setup.script.isEmpty())
        env.insert("T483_SCRIPT", setup.script);
    if (setup.trace)
        env.insert("T483_TRACE", "1");
    if (setup.asNobody) {
        QFile::setPermissions(dir.path(), QFile::Permissions(0x7777));
        env.insert("XDG_RUNTIME_DIR", dir.path());
        env.insert("HOME", dir.path());
    }
    p.setChildProcessModifier([asNobody = setup.asNobody, stderrTo = setup.stderrTo] {
        if (stderrTo >= 0 && dup2(stderrTo, STDERR_FILENO) < 0)
            _exit(102);
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(101);
    });
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir.path());

    QElapsedTimer took;
    took.start();
    p.start(exe, setup.args);
    if (!p.waitForStarted(slack(5000))) {
        qWarning() << "cannot start" << exe << p.errorString();
        return run;
    }
    if (setup.during)
        setup.during();
    QElapsedTimer sinceStamp;
    if (setup.atStamp) {
        // Standard output is read as it comes until the stamp is there.
        while (!run.out.contains("stamp ") && p.waitForReadyRead(slack(20000)))
            run.out += p.readAllStandardOutput();
        if (run.out.contains("stamp ")) {
            setup.atStamp(p);
            sinceStamp.start();
        } else {
            qWarning("the program printed no stamp");
        }
    }
    const bool ended = p.waitForFinished(slack(20000));
    run.ms = took.elapsed();
    if (sinceStamp.isValid())
        run.msAfterStamp = sinceStamp.elapsed();
    if (!ended) {
        p.kill();
        p.waitForFinished();
        qWarning("the program did not end");
    }
    run.out += p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    if (run.err.contains("T483_SCRIPT"))
        qWarning("%s", run.err.constData());
    if (ended && p.exitStatus() == QProcess::NormalExit)
        run.status = p.exitCode();
    return run;
}
