// Inside the user-interface services: the process's end when it comes from
// outside the program. A termination signal (SIGTERM at logout or from kill,
// SIGINT from Ctrl+C, SIGHUP when its terminal closes) and the display going
// away (Qt's X11 platform then ends the process with exit()) each raise the
// commit of a panel's close control, as the window's close box does, so
// that the program ends as its own Exit ends it. SIGPIPE is ignored: a write
// into a pipe no one reads any more fails instead of ending the process.
#pragma once

#include "platform/ui/controls.h"

// Where a request to end goes: a loaded panel's close control, or nothing.
struct CloseTarget {
    Panel *panel = nullptr;
    Control *control = nullptr;
};

// Installs the signal handling and the hook on the process's end, once;
// `find` gives the close control whenever a request comes. Needs the
// application object.
void WatchForEnd(CloseTarget (*find)());

// The event loop runs (RunUserInterface) while `running`: an exit() then
// that is not ExitProgram's is an end the program did not ask for.
void SetLoopRunning(bool running);

// ExitProgram asks before it ends the process: false while the close
// control's callback runs from within exit() (exit() must not be called
// again; ExitProgram then returns), else true, the end being the
// program's own from then on.
bool MayExit();
