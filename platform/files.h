// Text-file services. Handles are small positive integers; a negative result
// is a failure.
#pragma once

enum { VAL_READ_ONLY = 1, VAL_WRITE_ONLY = 2, VAL_READ_WRITE = 0 };  // access
enum { VAL_TRUNCATE = 0, VAL_APPEND = 1, VAL_OPEN_AS_IS = 2 };       // action
enum { VAL_BINARY = 0, VAL_ASCII = 1 };                              // file type

// Opens a file; returns a handle, or -1 when it cannot be opened. The program
// writes no files: only VAL_READ_ONLY is provided (any other access fails),
// and a file is never created. A few files may be open at once.
int OpenFile(const char *name, int access, int action, int fileType);
int CloseFile(int handle);
// Moves the file position; origin 0 is the start of the file, 1 the current
// position, 2 the end. 0 on success, -1 on failure.
long SetFilePtr(int handle, long offset, int origin);
// Reads the next line into buffer, at most maxBytes bytes, and NUL-terminates
// it (buffer must hold maxBytes + 1). The line end (LF, or CR LF) is not
// stored; the rest of a longer line is returned by the next call. Returns the
// bytes stored, -2 at end of file, -1 on error.
int ReadLine(int handle, char *buffer, int maxBytes);
