// A look inside the modelled timer and speaker of ports.h, for tests and
// diagnostics: what the timer holds, what the speaker sounds, and the sound
// itself as samples.
#pragma once

// Channel 2's count register as last loaded, 0 to 65535 (0 counts as 65536).
int SpeakerDivisor(void);
// The frequency the speaker sounds now in Hz; 0 while it is silent.
double SpeakerTone(void);
// The model's clock in seconds: monotonic, from an arbitrary origin.
double SpeakerClock(void);
// Renders `frames` mono 16-bit samples at `rate` Hz (8000 to 192000) of what
// the speaker played from time `from` on the model's clock: a square wave while
// it sounds a tone the rate can carry, 0 otherwise. Beyond the present moment
// the present state continues. The model keeps its last 256 changes; earlier
// than those the speaker counts as silent. Returns the number of frames, or -1
// for bad arguments.
int RenderSpeaker(short *samples, int frames, int rate, double from);
