// Text-file services. Handles are small positive integers; a negative result
// is a failure.
#pragma once

enum { VAL_READ_ONLY = 1, VAL_WRITE_ONLY = 2, VAL_READ_WRITE = 0 };  // access
enum { VAL_TRUNCATE = 0, VAL_APPEND = 1, VAL_OPEN_AS_IS = 2 };       // action
enum { VAL_BINARY = 0, VAL_ASCII = 1 };                              // file type

// Opens a file; returns a handle, or -1 when it cannot be opened. The program
// writes no files: only VAL_READ_ONLY is provided (any other access fails),
// and a file is never created. A few files may be open at once.
// Only a regular file (or a link to one) is opened; anything else (a FIFO, a
// device, a folder) fails at once, as a missing file does. The file is read
// when it is opened, and only its first 64 KiB: when it is longer, its text
// ends with the last whole line within them.
int OpenFile(const char *name, int access, int action, int fileType);
int CloseFile(int handle);
// Moves the file position; origin 0 is the start of the file, 1 the current
// position, 2 the end. 0 on success, -1 on failure.
long SetFilePtr(int handle, long offset, int origin);
// Reads the next line into buffer, at most maxBytes bytes, and NUL-terminates
// it (buffer must hold maxBytes + 1). A line ends in LF, CR LF or a lone CR,
// which is not stored; the rest of a longer line is passed over up to its
// end. A UTF-8 byte-order mark at the start of the file is not part of the
// first line. Returns the bytes stored, -2 at end of file, -1 for a handle
// that is not open.
int ReadLine(int handle, char *buffer, int maxBytes);

// Reads the whole of regular file `name`, as it is, into buffer (at most
// `size` bytes of it). Returns the file's length, or some length past size
// when it did not fit; -1 when it is missing or not a regular file, or
// cannot be read.
long ReadFileBytes(const char *name, char *buffer, long size);
// The working folder into buffer (`size` bytes); 0, or -1 when it does not fit.
int GetDir(char *buffer, int size);

// Replaces the whole of file `name` with `size` bytes, atomically: they go to
// a new file in the same folder, which is flushed to the disk and then
// renamed over the old one, so that a crash, a full disk or a folder that
// cannot be written leaves the old file as it was, never a part-written one
// (and no new file beside it). A link is followed: its target is replaced.
// The file keeps its permissions; a new one gets 0644 less the umask. 0 on
// success; -1 on failure, with errno telling why.
int WriteFileAtomically(const char *name, const char *bytes, long size);
// Makes folder `path` and any of its parents that are missing (0755 less
// the umask). 0 when it exists afterwards, -1 otherwise.
int MakeFolders(const char *path);
