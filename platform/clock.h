// The monotonic clock: for time-outs, and for time stamps that processes on
// this machine compare (a benchmark and the program it starts).
#pragma once

#include <ctime>

inline long long MonotonicNs(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

inline double MonotonicMs(void)
{
    return MonotonicNs() / 1e6;
}
