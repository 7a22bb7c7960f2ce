// The program's state: one fixed set of globals that start-up and every
// callback read and write. Texts are NUL-terminated Windows-1250 bytes.
#pragma once

extern int demo;      // 1: offline mode, no serial traffic; 0 otherwise
extern int com;       // serial port number taken from the COM selector at Start
extern int run;       // 1 once an instrument has been identified
extern int R;         // resistance in MOhm as last set or read back
extern int M;         // test voltage in volts last reported, 0 when unreadable
extern int i;         // last serial/port result; the identification value at Start
extern int pnl_hl;    // handle of the main panel
extern int remote;    // REMOTE switch as last read: 0 local, 1 remote control
extern int fhi;       // handle of the configuration file while it is read
extern int language;  // 1 Czech, 2 Slovak, 3 English

enum { TEXT_SIZE = 84 };
// The configuration error message can reach 136 characters (a 49-character
// template, the 6-character section and an 81-byte key line), so radek1 is
// made large enough to hold it whole rather than cutting it.
enum { MESSAGE_SIZE = 160 };

extern char radek[TEXT_SIZE];      // current line: file line, command, reply
extern char radek1[MESSAGE_SIZE];  // composed configuration error message
extern char SW[TEXT_SIZE];         // title of every message pop-up
extern char t1[TEXT_SIZE];         // the instrument-not-found message
extern char t2[TEXT_SIZE];         // the configuration error template in use

// Sets every global above back to its start-up value, as if the program had
// just been loaded (for tests that run start-up more than once).
void reset_state(void);
