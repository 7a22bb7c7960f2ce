// The configuration file reader.
#pragma once

// Looks up `key` in `section` of the open file fhi (each call from the top of
// the file). Stores the first number on the key line (negative when a minus
// sign comes directly before its digits) in *out and returns 1
// when lower < value < upper; otherwise returns 0 and leaves *out alone,
// telling the operator in a pop-up when the key was there but its value was
// not acceptable. A missing section or key is silent.
int ini_rd(const char *section, const char *key, int lower, int upper, int *out);

// Where the file is, and its port choices.
#include "app/settings.h"
