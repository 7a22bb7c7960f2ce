// Test support: t483ctl (T483_CTL) run as a child process to its end.
//
//   const CtlRun r = runCtl({"--port", sim->device(), "get"});
//   QCOMPARE(r.status, 0);
//   QCOMPARE(r.out, QByteArray("4072\n"));
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

struct CtlRun {
    int status = -1000;  // exit code; -1000 when it did not start, crashed or did not end
    QByteArray out, err;
};

struct CtlSetup {
    // Added to the test's environment; an empty value takes the name out.
    QMap<QString, QString> env = {};
    QString dir = {};   // its working folder; the test's when empty
    int timeoutMs = 60000;  // before it is taken for hung; stretched by slack()
};

// Runs t483ctl with `args`, its standard input closed, and waits for its end
// (killing it when it does not end in time).
CtlRun runCtl(const QStringList &args, const CtlSetup &setup = {});
