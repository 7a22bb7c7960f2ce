// The trace: the link writes every command and every reply, and the tone
// output what it plays on, each as one line with a millisecond time stamp.
// With T483_TRACE=1 in the environment the lines go to standard error,
// stamped with the time of day, e.g.
//   12:03:41.207 COM1 > "R47"
//   12:03:41.262 COM1 < "R47"
//   12:03:41.569 COM1 < ""              (an empty reply, or none in 0.3 s)
//   12:03:41.570 COM1 < (failed: -8)
//   12:03:42.001 tone: playing on the sound card "default"
// Any other value names a file the lines are appended to, stamped with the
// local date, time and offset from UTC, a dated record kept across runs:
//   2026-12-08T12:03:41.207+01:00 COM1 > "R47"
// The file is opened without waiting (a pipe nobody reads is refused); one
// that cannot be opened is reported once on standard error and nothing is
// traced. The carriage returns are not shown; other bytes outside printable
// ASCII, and the quote and backslash, are written as \xNN. Off by default
// (and with T483_TRACE=0).
#pragma once

// Whether the trace is on; looked up on every call, so that it can be
// switched on for part of a run.
bool TraceOn(void);

// One line of trace: the time stamp, then the text composed as by printf.
// Written at once, so that lines never interleave.
void Trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A command sent (direction '>') or a reply read ('<'). count < 0 marks a
// failed read or write with that error code.
void TraceLink(int port, char direction, const char *bytes, int count);
