// Test support: the real executable (T483_EXE) as a child process, run to
// its end in a temporary working folder of its own.
//
//   const ProgramRun r = runProgram({.script = "click start; wait 500; click konec",
//                                    .ini = "[t483]\nlanguage=3\n"});
//   QCOMPARE(r.status, 0);
//   QCOMPARE(r.out, QByteArray());   // what "accept" steps printed
//
// It runs offscreen unless given an X display or asked to run with no
// display at all, and is operated through T483_SCRIPT (README, "Scripted
// operation"). Something done to it from outside once its script has come
// to a point (a signal, its display gone):
//
//   runProgram({.script = "click start; wait 500; stamp",
//               .atStamp = [](QProcess &p) { ::kill(p.processId(), SIGTERM); }});
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

struct ProgramSetup {
    QStringList args = {};          // its command-line arguments
    QString script = {};            // T483_SCRIPT; none when empty
    QByteArray ini = {};            // T483.INI in its working folder; none when null
    bool trace = false;             // T483_TRACE=1: the link trace on standard error
    bool asNobody = false;          // as the user "nobody" (the test runs as root)
    bool noDisplay = false;         // no platform plugin chosen and no display
    QString display = {};           // an X display (":5") to run on with the xcb platform
    int stderrTo = -1;              // a descriptor (a pipe's end) for its standard error instead
    std::function<void()> during = {};  // called once it has started
    // Called once it has printed "stamp" (its script's step) on standard
    // output, after `during`.
    std::function<void(QProcess &)> atStamp = {};
};

struct ProgramRun {
    int status = -1000;  // exit code; -1000 when it did not start, crashed or did not end
    qint64 ms = 0;       // wall time from start to end
    qint64 msAfterStamp = -1;  // from the return of atStamp to the end; -1 when not called
    QByteArray out, err;
};

// Runs T483_EXE as set up and waits for its end. Status 101 when it could
// not take the rights of "nobody". A step of the script it could not carry
// out is passed on as a warning.
ProgramRun runProgram(const ProgramSetup &setup);
