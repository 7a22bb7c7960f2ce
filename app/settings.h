// The settings file, T483.INI: where it is, and the serial port choices in
// it (fhi of app/state.h is the file while it is read).
#pragma once

// The settings file: T483.INI in the working folder when there is one, else
// T483.INI in the folder t483 of $XDG_CONFIG_HOME (~/.config when that is not
// set). Opens the first that can be read as fhi and returns fhi, or -1 when
// neither can. Either way ini_path names the file from then on.
int ini_open(void);
// The settings file read, or the one a port choice creates when none was;
// "" when none can be named (no home folder).
const char *ini_path(void);

// The port choices in [t483] of fhi: key com<n> (n 1 to 8, case ignored),
// '=', the device path; spaces and tabs around the path are not part of it.
// Each one found becomes port n's setting (SetComSetting); an empty path is
// none. Any other key, language and demo among them, is not a port's.
void ini_rd_ports(void);

// Remembers port n's device in the settings file (ini_path): its com<n> line
// in [t483] says the device, or goes when device is "" (the port's default).
// Every other byte of the file stays as it was; the line is new at the top of
// the section (made at the end of the file when the file has none), with the
// file's own line ends. The file is replaced atomically, and created (with
// its folder) when there was none. 0 when saved, -1 when it could not be.
int ini_save_port(int port, const char *device);

// The same change on the file's bytes, without the file: `text` of `length`
// bytes becomes *out (of `size` bytes). Returns its length, or -1 when that
// does not fit.
long ini_set_port(const char *text, long length, int port, const char *device, char *out, long size);
