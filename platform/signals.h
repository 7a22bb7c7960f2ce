// Signals as events. A signal handler may safely do next to nothing, so the
// one handler here only notes the signal and writes its number into a pipe
// (the self-pipe); an event loop watches the pipe's read end (a Qt socket
// notifier, or poll() beside other descriptors) and acts there.
#pragma once

#include <initializer_list>

// Catches the signals `numbers` with that handler (SA_RESTART). The pipe is
// made on the first call and shared by all; later calls add signals to it.
// The pipe's read end (non-blocking, close-on-exec), or -1 when no pipe could
// be made (the signals then keep their previous actions).
int SignalPipeOpen(std::initializer_list<int> numbers);
// The read end of the pipe, -1 before SignalPipeOpen.
int SignalPipeFd(void);
// Reads all that the pipe holds: the number of the last signal in it, 0 when
// it held none.
int SignalPipeDrain(void);
// The last signal caught since SignalPipeOpen (or SignalPipeForget), 0 when
// none: for loops that look between steps rather than wait on the pipe.
int SignalPipeCaught(void);
void SignalPipeForget(void);
// Puts back the default action of the signals `numbers`.
void SignalPipeRestore(std::initializer_list<int> numbers);
