// Test support: the one allowance tests make for a slow or loaded machine.
//
//   QVERIFY(took < slack(100));             // an upper bound on a time
//   QVERIFY(stall >= 300 && stall < 600 + slack(150));  // the lower bound stays
//
// Every bound on how long something may take, and every time-out of a wait
// for a condition, is multiplied by the whole number in the environment
// variable T483_TEST_SLACK (1 when unset or not a positive number; the
// sanitizer build runs with 3). A lower bound, what must not end early, is
// never relaxed.
#pragma once

#include <QtGlobal>

inline int slackFactor()
{
    static const int factor = [] {
        bool ok = false;
        const int f = qEnvironmentVariableIntValue("T483_TEST_SLACK", &ok);
        return ok && f > 0 ? f : 1;
    }();
    return factor;
}

inline int slack(int ms)
{
    return ms * slackFactor();
}
