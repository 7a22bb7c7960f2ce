// Shared by the fuzz targets: how a target reports a broken rule.
#pragma once

#include <cstdio>
#include <cstdlib>

// Reports what went wrong and aborts, which both libFuzzer and the replay
// test take as a failure that keeps the input.
[[noreturn]] inline void fuzz_fail(const char *what)
{
    std::fprintf(stderr, "fuzz target: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) \
            fuzz_fail(#cond); \
    } while (0)
