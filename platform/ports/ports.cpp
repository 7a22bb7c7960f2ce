// The modelled I/O ports: the 8254 timer's channel 2 and the speaker control
// port 0x61, a history of what the speaker sounded, its rendering as samples,
// and Delay. The sound card or beeper that plays the history is in
// speaker_linux.cpp.
#include "platform/ports.h"

#include "platform/ports/speaker.h"
#include "platform/ports_model.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

namespace {

enum {
    TIMER_CLOCK = 1193180,  // Hz
    PORT_COUNT2 = 0x42,
    PORT_MODE = 0x43,
    PORT_SPEAKER = 0x61,
    GATE2 = 0x01,          // 0x61 bit 0: channel 2 counts
    SPEAKER_DATA = 0x02,   // 0x61 bit 1: channel 2's output reaches the speaker
    HISTORY = 256,         // changes of the speaker kept for rendering
    AMPLITUDE = 8000,      // of the rendered square wave, of 32767
};

// Access modes of a mode word (bits 5 and 4).
enum { LATCH = 0, LOW_ONLY = 1, HIGH_ONLY = 2, LOW_HIGH = 3 };

struct Change {
    double time;  // on the model's clock
    double hz;    // from then on; 0 silent
};

// All of the model's state; every access holds `model`.
std::mutex model;
int mode_word = 0;          // channel 2's last mode word
int count = 0;              // channel 2's count register (0 counts as 65536)
bool loaded = false;        // a whole count has arrived since the mode word
bool low_pending = false;   // LOW_HIGH: the low byte is in, the high byte due
int low_byte = 0;
bool latched = false;       // a latch command froze `latch` for reading
int latch = 0;
bool read_high = false;     // LOW_HIGH reads: the high byte comes next
int speaker_port = 0;       // port 0x61 as last written
double tone = 0;            // what the speaker sounds now, Hz
Change history[HISTORY];    // ring: change n is history[n % HISTORY]
unsigned changes = 0;       // changes recorded since start

double now_seconds(void)
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int access_mode(void) { return (mode_word >> 4) & 3; }

// The counter's period in input clocks: the count, 0 standing for the largest,
// read as four decimal digits in BCD mode.
long period(void)
{
    if (mode_word & 1) {
        long n = ((count >> 12) & 15) * 1000 + ((count >> 8) & 15) * 100 +
                 ((count >> 4) & 15) * 10 + (count & 15);
        return n ? n : 10000;
    }
    return count ? count : 65536;
}

// The speaker sounds when both bits of 0x61 are set and channel 2 runs a square
// wave (mode 3, also coded as 7) with a count loaded. In every other state its
// output stands still (high while the gate is low or no count has arrived), and
// a speaker held still is silent.
double current_tone(void)
{
    int mode = (mode_word >> 1) & 7;
    if ((speaker_port & (GATE2 | SPEAKER_DATA)) != (GATE2 | SPEAKER_DATA) || !loaded ||
        (mode != 3 && mode != 7))
        return 0;
    return double(TIMER_CLOCK) / double(period());
}

// After a write: records a change of the tone. Returns whether there was one.
bool note_change(void)
{
    double hz = current_tone();
    if (hz == tone)
        return false;
    tone = hz;
    history[changes % HISTORY] = {now_seconds(), hz};
    changes++;
    return true;
}

void write_mode(int byte)
{
    if ((byte >> 6) != 2)
        return;  // channels 0 and 1 and the read-back command are not modelled
    if (((byte >> 4) & 3) == LATCH) {
        if (!latched) {
            latched = true;
            latch = count;
        }
        return;
    }
    // A mode word stops the channel until its new count is complete.
    mode_word = byte & 0x3F;
    loaded = false;
    low_pending = false;
    latched = false;
    read_high = false;
}

void write_count(int byte)
{
    switch (access_mode()) {
    case LOW_ONLY:
        count = byte;
        loaded = true;
        break;
    case HIGH_ONLY:
        count = byte << 8;
        loaded = true;
        break;
    case LOW_HIGH:
        if (!low_pending) {
            low_byte = byte;
            low_pending = true;
        } else {
            count = low_byte | byte << 8;
            low_pending = false;
            loaded = true;
        }
        break;
    default:
        break;  // no mode word yet
    }
}

// Reads the count as programmed (the model's counter does not run), or the
// latched copy once, in the bytes the access mode names.
int read_count(void)
{
    int value = latched ? latch : count;
    int byte;
    switch (access_mode()) {
    case LOW_ONLY:
        byte = value & 0xFF;
        latched = false;
        break;
    case HIGH_ONLY:
        byte = value >> 8;
        latched = false;
        break;
    case LOW_HIGH:
        byte = read_high ? value >> 8 : value & 0xFF;
        if (read_high)
            latched = false;
        read_high = !read_high;
        break;
    default:
        byte = 0xFF;
        break;
    }
    return byte;
}

}  // namespace

int CVI_outp(int port, int byte)
{
    byte &= 0xFF;
    bool changed;
    {
        std::lock_guard<std::mutex> hold(model);
        switch (port) {
        case PORT_MODE:
            write_mode(byte);
            break;
        case PORT_COUNT2:
            write_count(byte);
            break;
        case PORT_SPEAKER:
            speaker_port = byte;
            break;
        default:
            break;  // no other port is modelled; writes to it go nowhere
        }
        changed = note_change();
    }
    if (changed)
        SpeakerChanged();
    return byte;
}

int CVI_inp(int port)
{
    std::lock_guard<std::mutex> hold(model);
    switch (port) {
    case PORT_SPEAKER:
        return speaker_port;
    case PORT_COUNT2:
        return read_count();
    default:
        return 0xFF;  // nothing answers: the bus floats high
    }
}

void Delay(double seconds)
{
    if (!(seconds > 0))
        return;  // zero, negative or not a number: no wait
    if (seconds > 1e9)
        seconds = 1e9;  // beyond any real wait, and inside the clock's range
    using namespace std::chrono;
    steady_clock::time_point until =
        steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
    std::this_thread::sleep_until(until);
}

int SpeakerDivisor(void)
{
    std::lock_guard<std::mutex> hold(model);
    return count;
}

double SpeakerTone(void)
{
    std::lock_guard<std::mutex> hold(model);
    return tone;
}

double SpeakerClock(void) { return now_seconds(); }

int SpeakerNextChange(double after, double *time, double *hz)
{
    std::lock_guard<std::mutex> hold(model);
    unsigned first = changes > HISTORY ? changes - HISTORY : 0;
    for (unsigned n = first; n < changes; n++) {
        const Change &c = history[n % HISTORY];
        if (c.time > after) {
            *time = c.time;
            *hz = c.hz;
            return 1;
        }
    }
    return 0;
}

double SpeakerLastChange(void)
{
    std::lock_guard<std::mutex> hold(model);
    return changes ? history[(changes - 1) % HISTORY].time : 0;
}

int RenderSpeaker(short *samples, int frames, int rate, double from)
{
    if (!samples || frames < 0 || rate < 8000 || rate > 192000 || !std::isfinite(from))
        return -1;

    // A copy of the history, oldest first, so that rendering holds no lock.
    Change kept[HISTORY];
    int n = 0;
    {
        std::lock_guard<std::mutex> hold(model);
        unsigned first = changes > HISTORY ? changes - HISTORY : 0;
        for (unsigned c = first; c < changes; c++)
            kept[n++] = history[c % HISTORY];
    }

    // The change in force at `from` (-1: none, silent) and the square wave's
    // phase there, in cycles since the tone began; the wave starts high.
    int k = -1;
    while (k + 1 < n && kept[k + 1].time <= from)
        k++;
    double phase = 0;
    if (k >= 0 && kept[k].hz > 0) {
        int start = k;
        while (start > 0 && kept[start - 1].hz > 0)
            start--;
        for (int j = start; j <= k; j++) {
            double end = j < k ? kept[j + 1].time : from;
            phase += kept[j].hz * (end - kept[j].time);
            phase -= std::floor(phase);
        }
    }

    double at = from;  // the time `phase` belongs to
    for (int s = 0; s < frames; s++) {
        double t = from + double(s) / rate;
        while (k + 1 < n && kept[k + 1].time <= t) {
            double hz = k >= 0 ? kept[k].hz : 0;
            k++;
            if (hz > 0 && kept[k].hz > 0)
                phase += hz * (kept[k].time - at);  // the count changed mid-tone
            else
                phase = 0;  // a tone begins
            at = kept[k].time;
        }
        double hz = k >= 0 ? kept[k].hz : 0;
        phase += hz * (t - at);
        phase -= std::floor(phase);
        at = t;
        // A tone at or above half the rate cannot be carried and is left out.
        if (hz <= 0 || 2 * hz >= rate)
            samples[s] = 0;
        else
            samples[s] = phase < 0.5 ? AMPLITUDE : -AMPLITUDE;
    }
    return frames;
}
