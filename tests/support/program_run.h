// Test support: the real executable (T483_EXE) as a child process, run to
// its end in a temporary working folder of its own.
//
//   const ProgramRun r = runProgram({.script = "click start; wait 500; click konec",
//                                    .ini = "[t483]\nlanguage=3\n"});
//   QCOMPARE(r.status, 0);
//   QCOMPARE(r.out, QByteArray());   // what "accept" steps printed
//
// It runs offscreen unless asked to run with no display at all, and is
// operated through T483_SCRIPT (README, "Scripted operation").
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

struct ProgramSetup {
    QString script = {};            // T483_SCRIPT; none when empty
    QByteArray ini = {};            // T483.INI in its working folder; none when null
    bool trace = false;             // T483_TRACE=1: the link trace on standard error
    bool asNobody = false;          // as the user "nobody" (the test runs as root)
    bool noDisplay = false;         // no platform plugin chosen and no display
    std::function<void()> during = {};  // called once it has started
};

struct ProgramRun {
    int status = -1000;  // exit code; -1000 when it did not start, crashed or did not end
    qint64 ms = 0;       // wall time from start to end
    QByteArray out, err;
};

// Runs T483_EXE as set up and waits for its end. Status 101 when it could
// not take the rights of "nobody". A step of the script it could not carry
// out is passed on as a warning.
ProgramRun runProgram(const ProgramSetup &setup);
