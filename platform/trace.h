// The link trace: with T483_TRACE=1 in the environment, every command and
// every reply goes to standard error with a millisecond time stamp, e.g.
//   12:03:41.207 COM1 > "R47"
//   12:03:41.262 COM1 < "R47"
//   12:03:41.569 COM1 < ""              (an empty reply, or none in 0.3 s)
//   12:03:41.570 COM1 < (failed: -8)
// The carriage returns are not shown; other bytes outside printable ASCII,
// and the quote and backslash, are written as \xNN. Off by default (and
// with T483_TRACE=0); nothing is ever written to a file.
#pragma once

// direction '>' for a command sent, '<' for a reply. count < 0 marks a failed
// read or write with that error code.
void TraceLink(int port, char direction, const char *bytes, int count);
