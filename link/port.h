// The instrument link on one port, without the program's state: the port
// with the T-483's line settings, a command out with its carriage return, one
// reply back as a value, and the scans that read a reply. What a port needs
// between two commands is kept for that port alone, so that links on
// different ports do not disturb each other.
#pragma once

enum {
    LINK_COMMAND_MAX = 83,  // the longest command sent; any more is not sent
    LINK_REPLY_MAX = 20,    // the longest reply the instrument sends
};

// One reply as link_receive reads it.
struct LinkReply {
    int count;      // bytes in text; negative when the read failed or its time ran out with part of a reply
    int timed_out;  // 1 when the read ended at its timeout (with nothing, or with part of a reply)
    int lost;       // 1 when the read found the device gone (hung up, unplugged: RS232_IO)
    char text[LINK_REPLY_MAX + 1];  // the reply without its CR, NUL after count bytes; empty when count < 0
};

// Opens port `port` with the instrument's line settings (1200 baud, 8N1, no
// handshake, DTR raised, RTS dropped, 0.3 s timeout) and flushes its input.
// 0 on success, else the open's negative error code (nothing else is done).
int link_port_open(int port);
// Sends text byte by byte (up to its NUL, LINK_COMMAND_MAX bytes at most),
// then a carriage return, first discarding any stale input (after a read
// that ran out of time, all that comes until the line has been quiet for 20
// to 50 ms, 0.1 s at most). The result of the last write, negative when one
// failed (nothing more is sent then).
int link_send(int port, const char *text);
// Reads one reply into *reply, and traces it.
void link_receive(int port, LinkReply *reply);
// Reads one reply as link_receive does, but takes it only whole: its CR came
// within the read's time, after 20 bytes at most. Twenty bytes whose CR did
// not follow, or more, are no reply (count RS232_CUT_SHORT, timed_out 0),
// and the rest of them may still be on its way.
void link_receive_whole(int port, LinkReply *reply);
void link_port_close(int port);

// Reply scans over a NUL-terminated reply; each returns whether it found
// what it looks for. parse_id: the first number anywhere in the reply.
// parse_r: a number at the start that is no negative one, a resistance.
// parse_m: a number at the start.
int parse_id(const char *text, int *value);
int parse_r(const char *text, int *value);
int parse_m(const char *text, int *value);
// 1 when an identification value belongs to a T-483, else 0.
int t483_ident_ok(int ident);
