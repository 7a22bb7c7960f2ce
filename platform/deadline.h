// A time limit on the monotonic clock, for every wait that must end on time
// whatever the wall clock does (NTP, a clock set by hand): a read of the
// serial line, a dwell, a wait for an operator's answer.
#pragma once

#include "platform/clock.h"

#include <climits>
#include <ctime>

struct Deadline {
    long long at_ns;  // on MonotonicNs(); LLONG_MAX: never

    static Deadline in_ns(long long ns) { return {MonotonicNs() + ns}; }
    static Deadline in_ms(long long ms) { return in_ns(ms * 1000000LL); }
    static Deadline in_seconds(double seconds) { return in_ns(static_cast<long long>(seconds * 1e9)); }
    static Deadline never() { return {LLONG_MAX}; }

    bool is_never() const { return at_ns == LLONG_MAX; }
    bool passed() const { return !is_never() && MonotonicNs() >= at_ns; }
    // What is left, 0 once passed; LLONG_MAX for never.
    long long left_ns() const
    {
        if (is_never())
            return LLONG_MAX;
        const long long left = at_ns - MonotonicNs();
        return left > 0 ? left : 0;
    }
    // For poll(): what is left in whole milliseconds, rounded up so that a
    // wait never wakes just before its deadline, at most cap_ms; -1 (no
    // limit) for never unless a cap is given.
    int poll_ms(int cap_ms = -1) const
    {
        if (is_never())
            return cap_ms;
        const long long ms = (left_ns() + 999999) / 1000000;
        if (cap_ms >= 0 && ms > cap_ms)
            return cap_ms;
        return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }
    // For ppoll(): what is left as a timespec (zero once passed).
    timespec left_timespec() const
    {
        const long long ns = is_never() ? LLONG_MAX : left_ns();
        return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    }
};
