// RS-232 services. Ports are numbered 1 to 8; port n is the device named by the
// environment variable T483_COM<n>, else the one the settings file gives it
// (SetComSetting), else /dev/ttyS<n-1>. Results: 0 or a count on success, a
// negative RS-232 error code (below) on failure.
#pragma once

enum {
    RS232_NO_DEVICE = -1,      // no such device
    RS232_ACCESS = -2,         // permission denied
    RS232_BUSY = -3,           // held by another process
    RS232_NOT_SERIAL = -4,     // the device is not a serial port
    RS232_BAD_PORT = -5,       // port number outside 1 to 8
    RS232_NOT_OPEN = -6,       // the port is not open
    RS232_BAD_SETTING = -7,    // a line setting the device refused
    RS232_IO = -8,             // a read or write failed (device gone, hung up)
    RS232_TIMEOUT = -9,        // a write could not be completed in time
    RS232_OPEN_FAILED = -10,   // any other reason the open failed
    RS232_CUT_SHORT = -11,     // a reply's time ran out before its terminator came
};

// Opens and configures the port: baud rate, parity (0 none, 1 odd, 2 even),
// data bits, stop bits and queue sizes. An empty device name means the
// port's default device. 0 on success.
int OpenComConfig(int port, const char *deviceName, long baudRate, int parity,
                  int dataBits, int stopBits, int inputQueueSize, int outputQueueSize);
// Text for an error code; for a failed open it names the device and the
// system's reason. Valid until the next call into this interface.
const char *GetRS232ErrorString(int errorCode);
int SetCTSMode(int port, int mode);          // 0: no hardware handshake
int SetXMode(int port, int mode);            // 0: no XON/XOFF handshake
int ComSetEscape(int port, int escapeCode);  // 5 raise DTR, 6 drop DTR, 3 raise RTS, 4 drop RTS
int SetComTime(int port, double timeoutSeconds);
int FlushInQ(int port);
// Writes one byte; 1 on success.
int ComWrtByte(int port, int byte);
// Reads until terminationByte, `count` bytes or the timeout, whichever comes
// first. The terminator is consumed and not stored; no NUL is appended.
// Returns the bytes stored, or a negative code when the read failed.
int ComRdTerm(int port, char *buffer, int count, int terminationByte);
// 1 when the port's last ComRdTerm ended at its timeout, before either the
// terminator or `count` bytes came (with nothing, or part of a reply);
// 0 otherwise, and before any read since the open.
int ComRdTimedOut(int port);
// For a reply that may still be on its way after its read ran out of time:
// discards input until the line is quiet, that is until startSeconds have
// passed since the end of the port's last read with nothing coming, or, once
// something has come, until nothing more has for quietSeconds; never longer
// than limitSeconds in all. 1 when it discarded input, 0 when none came, or
// a negative code (the device failed or hung up).
int ComDrainQuiet(int port, double startSeconds, double quietSeconds, double limitSeconds);
int CloseCom(int port);

// Escape codes for ComSetEscape.
enum { SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6 };

// The device that port n reaches (for display); "" for a port outside 1 to 8.
const char *ComDeviceName(int port);

// Where the device of ComDeviceName comes from.
enum { COM_DEFAULT = 0, COM_FROM_SETTINGS = 1, COM_FROM_ENVIRONMENT = 2 };
int ComDeviceSource(int port);  // -1 for a port outside 1 to 8
// The device the settings file gives port n; "" or null for none, which
// leaves the port to the environment or its default. 0, or RS232_BAD_PORT.
int SetComSetting(int port, const char *device);
// The device the settings file gives port n, "" for none.
const char *ComSetting(int port);
// The default device of port n, /dev/ttyS<n-1>; "" outside 1 to 8.
const char *ComDefaultDevice(int port);

// A serial device present on the machine.
enum { COM_TEXT_SIZE = 256, COM_LIST_MAX = 32 };
struct ComDevice {
    char device[COM_TEXT_SIZE];       // the path to open: /dev/serial/by-id/... where there is one
    char description[COM_TEXT_SIZE]; // what it is: product, maker, serial number, VID:PID, its tty
};
// Fills `devices` with up to `max` of the serial devices present: first those
// reached by a stable link in /dev/serial/by-id (the folder named by
// T483_BY_ID_DIR instead, when set), sorted by name, then every USB, ACM or
// real ttyS port that no such link reaches. Returns how many were stored.
// Texts are plain ASCII (anything else is shown as '?').
int ListComDevices(ComDevice *devices, int max);
