// The tone and hex-digit routines.
#include "util/tone.h"

#include "platform/ports.h"

enum {
    TIMER_CLOCK = 1193180,  // the 8254's input clock in Hz
    TIMER_MODE = 0x43,      // mode word register
    TIMER_COUNT2 = 0x42,    // channel 2's count register, the speaker's channel
    SPEAKER_PORT = 0x61,    // bit 0: channel 2's gate, bit 1: speaker data
    SPEAKER_BITS = 0x03,
    // Channel 2, low byte then high byte, mode 3 (square wave), binary count.
    CHANNEL2_SQUARE_WAVE = 0xB6,
};

// The count for a frequency. The count register holds 16 bits, 0 standing for
// 65536: a frequency below 19 Hz (whose count would not fit, and would sound as
// its low 16 bits, some unrelated higher tone) gets 0, the lowest tone, and one
// above the timer's clock (whose count would be 0, the lowest tone) gets 1, the
// highest.
static unsigned divisor(unsigned frequency)
{
    if (frequency == 0)
        return 0;
    unsigned d = TIMER_CLOCK / frequency;
    if (d > 0xFFFF)
        return 0;
    if (d == 0)
        return 1;
    return d;
}

void beep(unsigned frequency, double seconds)
{
    unsigned d = divisor(frequency);
    CVI_outp(TIMER_MODE, CHANNEL2_SQUARE_WAVE);
    CVI_outp(TIMER_COUNT2, d & 0xFF);
    CVI_outp(TIMER_COUNT2, (d >> 8) & 0xFF);
    CVI_outp(SPEAKER_PORT, CVI_inp(SPEAKER_PORT) | SPEAKER_BITS);
    Delay(seconds);
    CVI_outp(SPEAKER_PORT, CVI_inp(SPEAKER_PORT) & ~SPEAKER_BITS);
}

int hextodec(const char *c)
{
    signed char ch = static_cast<signed char>(*c);
    return ch > '9' ? ch - 55 : ch - 48;
}
