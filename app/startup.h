// Start-up: the program's own entry, called by the process entry.
#pragma once

// Initialises the run-time, reads T483.INI, loads and localises the main panel
// and runs the event loop. Returns the process's exit code: -1 when the
// run-time cannot be initialised.
int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow);
