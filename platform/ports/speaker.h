// Between the port model and the tone output that plays it.
#pragma once

// The first recorded change of the speaker later than time `after`: its time
// and the frequency from then on (0: silent). Returns 0 when there is none.
int SpeakerNextChange(double after, double *time, double *hz);
// The time of the most recent change of the speaker; 0 before any change.
double SpeakerLastChange(void);
// The tone output's hook: the model calls it after each change of the
// speaker, outside the model's lock.
void SpeakerChanged(void);
