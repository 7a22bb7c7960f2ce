// The link trace: with T483_TRACE=1 in the environment, every command and
// every reply goes to standard error with a millisecond time stamp, e.g.
//   12:03:41.207 COM1 > R47
//   12:03:41.262 COM1 < R47
//   12:03:41.569 COM1 < (failed: -9)
// Bytes outside printable ASCII are written as \xNN. Off by default; nothing
// is ever written to a file.
#pragma once

// direction '>' for a command sent, '<' for a reply. count < 0 marks a failed
// read or write with that error code.
void TraceLink(int port, char direction, const char *bytes, int count);
