// Built without a sound output: the speaker is modelled only, and a change of
// it goes nowhere further.
#include "platform/ports/speaker.h"
#include "platform/trace.h"

void SpeakerChanged(void)
{
    static bool told;
    if (!told)
        Trace("tone: modelled only (built without a sound output)");
    told = true;
}
