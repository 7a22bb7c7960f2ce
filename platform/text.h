// Text services: comparing, measuring, scanning and composing byte strings.
#pragma once

// Compares n bytes of a (from aIndex) with b (from bIndex); 0 when equal.
// With caseSensitive 0, ASCII letters compare without regard to case.
// Negative when a sorts first, positive when b does.
int CompareBytes(const char *a, int aIndex, const char *b, int bIndex, int n,
                 int caseSensitive);
int StringLength(const char *s);

// Scans source by format and stores into the int * arguments. The part after
// '>' lists the steps; the result is how many of them succeeded, in order
// (scanning stops at the first that fails), or -1 for a format it does not know.
//   "%s>%i"         one step: a decimal integer at the start of source
//   "%s>%s[dt#]%i"  two steps: skip to the first digit, then read an integer
// An integer is an optional sign and a run of ASCII digits whose value fits an
// int; a longer run is not an integer.
int Scan(const char *source, const char *format, ...);

// Composes text like snprintf into target, which holds targetSize bytes; the
// result is always NUL-terminated and cut to fit. Conversions: %s, %d, %i, %%.
// Returns the length composed (before any cut).
int Fmt(char *target, int targetSize, const char *format, ...);
