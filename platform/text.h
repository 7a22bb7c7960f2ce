// Text services: comparing, measuring, scanning and composing byte strings.
#pragma once

// Compares n bytes of a (from aIndex) with b (from bIndex); 0 when equal.
// With caseSensitive 0, ASCII letters compare without regard to case.
// Negative when a sorts first, positive when b does. A NUL that ends both
// texts ends the comparison, so n may run past the end of the texts.
int CompareBytes(const char *a, int aIndex, const char *b, int bIndex, int n,
                 int caseSensitive);
int StringLength(const char *s);

// Scans source by format and stores into the int * arguments. The part after
// '>' lists the steps; the result is how many of them succeeded, in order
// (scanning stops at the first that fails), or -1 for a format it does not know.
//   "%s>%i"         one step: a decimal integer at the start of source, after
//                   any blanks, with an optional sign
//   "%s>%s[dt#]%i"  two steps: skip to the first digit, then read the run of
//                   digits there (a '-' before it is skipped text, not a sign)
// The int is stored only when its step succeeds. A run of digits whose value
// does not fit an int is not an integer: that step fails.
int Scan(const char *source, const char *format, ...);

// Composes text like snprintf into target, which holds targetSize bytes; the
// result is always NUL-terminated and cut to fit. Conversions: %s, %d, %i, %%.
// Returns the length composed (before any cut).
int Fmt(char *target, int targetSize, const char *format, ...) __attribute__((format(printf, 3, 4)));
