// The instrument link as the panel uses it: opening and closing the port
// `com`, sending a command with its carriage return, reading the reply into
// radek, and the reply scans. All of it works on the globals of app/state.h,
// over the link on one port of link/port.h.
#pragma once

#include "link/port.h"

// Opens port `port` with the instrument's line settings (1200 baud, 8N1, no
// handshake, DTR raised, RTS dropped, 0.3 s timeout) and flushes its input.
// 0 on success, else the open's negative error code (nothing else is done).
int link_open(int port);
// Sends text byte by byte, then a carriage return, first discarding any
// stale input (after a read that ran out of time, all that comes until the
// line has been quiet for 20 to 50 ms, 0.1 s at most). In offline mode sends
// nothing and returns demo. Otherwise the result of the last write.
int sendstring(const char *text);
// Reads one reply into radek: i = bytes read (negative when the read failed,
// or ran out of time with part of a reply, and always in offline mode),
// radek terminated after them (empty when failed).
void link_read(void);
// Closes the port `com`.
void link_close(void);
// After link_read: 1 when the read found the device gone (hung up, unplugged:
// RS232_IO), 0 for a reply, a silence, and always in offline mode.
int link_lost(void);

// Reply scans over radek. scan_id: the first number in the reply into i
// (i keeps the byte count when there is none). scan_r: a number at the start
// into R (R unchanged when there is none). scan_m: a number at the start into
// M, 0 when there is none.
void scan_id(void);
void scan_r(void);
void scan_m(void);
