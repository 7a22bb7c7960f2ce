// The tone output: plays what the modelled speaker sounded (ports.cpp) on the
// computer's sound card through ALSA or, where there is none, on the PC's own
// beeper through the kernel; with neither, the tone is modelled only and
// nothing is reported.
//
// ALSA because it is the sound interface every Linux system has: its "default"
// device reaches the desktop's sound server (PipeWire, PulseAudio) as well as a
// bare card, and it is one small C library (Debian's libasound2), where Qt
// Multimedia would bring a whole media framework for one square wave. The
// kernel beeper (the pcspkr driver's sound event device) is the very speaker
// the ports drive, but few machines still have one and its device is writable
// only by root or the input group, so it comes second.
//
// The output runs on a thread of its own, so a tone never delays the caller,
// and plays the speaker's recorded history a fixed latency behind it: every
// tone, however short, sounds for its whole length and stops where the model
// stopped it.
//
// T483_TONE chooses the output: "off" none, "alsa" the sound card only (and
// "alsa:NAME" the ALSA device NAME rather than "default"), "beeper" the kernel
// beeper only; unset, the sound card, then the beeper.
// With T483_TRACE=1 the choice is reported on standard error.
#include "platform/ports/speaker.h"
#include "platform/ports_model.h"
#include "platform/trace.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <glob.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int RATE = 48000;        // Hz
constexpr int CHUNK = RATE / 100;  // frames rendered at a time: 10 ms
constexpr int MOST = 4 * CHUNK;    // frames written at a time
constexpr int LATENCY_US = 50000;  // the sound card's buffer
const double LINGER = 1.0;   // s of silence after a tone before the output closes
const double BACKLOG = 0.25; // s the sound card may fall behind before it skips
const double IDLE = 3600;    // s between checks while nothing sounds

struct Output {
    std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
    unsigned wakes = 0;  // changes announced by the model
    bool stop = false;   // the program is ending

    ~Output()
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            stop = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }
};

Output &output(void)
{
    static Output o;
    return o;
}

// Set once the missing outputs have been reported, until one opens again:
// without a sound card every tone would report them anew.
bool missing_told = false;

// Whether T483_TONE allows an output ("alsa" also with ":" and a device).
bool allowed(const char *name)
{
    const char *v = getenv("T483_TONE");
    if (!v || !v[0])
        return true;
    size_t n = strlen(name);
    return strncmp(v, name, n) == 0 && (v[n] == 0 || v[n] == ':');
}

// The ALSA device: the one T483_TONE names after "alsa:", else "default".
const char *card_name(void)
{
    const char *v = getenv("T483_TONE");
    return v && strncmp(v, "alsa:", 5) == 0 && v[5] ? v + 5 : "default";
}

bool stopping(void)
{
    Output &o = output();
    std::lock_guard<std::mutex> hold(o.lock);
    return o.stop;
}

// Waits until the model announces a change not yet seen, or `seconds` pass.
// Returns false once the program is ending.
bool wait_for(unsigned *seen, double seconds)
{
    Output &o = output();
    std::unique_lock<std::mutex> hold(o.lock);
    o.wake.wait_for(hold, std::chrono::duration<double>(seconds),
                    [&] { return o.stop || o.wakes != *seen; });
    *seen = o.wakes;
    return !o.stop;
}

// ALSA writes its own complaints to standard error; a missing sound card is
// not worth one.
void quiet(const char *, int, const char *, int, const char *, ...) {}

bool write_all(snd_pcm_t *pcm, const short *samples, long frames)
{
    while (frames > 0) {
        snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples, frames);
        if (n < 0) {
            if (snd_pcm_recover(pcm, int(n), 1) < 0)
                return false;
            continue;
        }
        samples += n;
        frames -= n;
    }
    return true;
}

// Plays the history on the sound card from *cursor, where a tone begins, until
// the speaker has been silent for LINGER; leaves *cursor where playing ended.
// Returns false when there is no sound card to play on.
bool play_on_card(double *cursor, unsigned *seen)
{
    snd_pcm_t *pcm;
    // Opened without blocking so that a card busy elsewhere fails at once.
    const char *name = card_name();
    int err = snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        if (!missing_told)
            Trace("tone: no sound card \"%s\" (%s)", name, snd_strerror(err));
        return false;
    }
    err = snd_pcm_nonblock(pcm, 0);
    if (err >= 0)
        err = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                                 RATE, 1, LATENCY_US);
    if (err < 0) {
        if (!missing_told)
            Trace("tone: sound card \"%s\" unusable (%s)", name, snd_strerror(err));
        snd_pcm_close(pcm);
        return false;
    }
    Trace("tone: playing on the sound card \"%s\"", name);
    missing_told = false;

    short samples[MOST];
    double start = *cursor;  // time of the first frame written
    long long written = 0;
    bool failed = false;
    while (!stopping()) {
        double now = SpeakerClock();
        double at = start + double(written) / RATE;
        if (now - at > BACKLOG) {  // the card stalled: skip to close behind now
            start = at = now - BACKLOG;
            written = 0;
        }
        if (SpeakerTone() == 0 && at - SpeakerLastChange() >= LINGER)
            break;
        // Only what has already happened is rendered.
        long due = long((now - at) * RATE);
        if (due < CHUNK) {
            wait_for(seen, double(CHUNK - due) / RATE);
            continue;
        }
        if (due > MOST)
            due = MOST;
        RenderSpeaker(samples, int(due), RATE, at);
        if (!write_all(pcm, samples, due)) {
            Trace("tone: sound card failed");
            failed = true;
            break;
        }
        written += due;
    }
    *cursor = start + double(written) / RATE;
    if (failed || stopping())
        snd_pcm_drop(pcm);
    else
        snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    return true;
}

// The first kernel input device that can sound a tone and that we may write.
int open_beeper(void)
{
    glob_t found;
    int fd = -1;
    if (glob("/dev/input/event*", 0, nullptr, &found) == 0) {
        for (size_t k = 0; k < found.gl_pathc && fd < 0; k++) {
            int f = open(found.gl_pathv[k], O_WRONLY | O_CLOEXEC);
            if (f < 0)
                continue;
            unsigned long sounds = 0;
            if (ioctl(f, EVIOCGBIT(EV_SND, sizeof sounds), &sounds) >= 0 &&
                (sounds >> SND_TONE & 1)) {
                fd = f;
                Trace("tone: playing on the kernel beeper %s", found.gl_pathv[k]);
                missing_told = false;
            } else {
                close(f);
            }
        }
    }
    globfree(&found);
    if (fd < 0 && !missing_told)
        Trace("tone: no kernel beeper");
    return fd;
}

// The beeper takes whole hertz from 21 to 32766 and is silent otherwise.
void sound(int fd, double hz)
{
    input_event event{};
    event.type = EV_SND;
    event.code = SND_TONE;
    event.value = hz > 20 && hz < 32767 ? int(std::lround(hz)) : 0;
    if (write(fd, &event, sizeof event) != ssize_t(sizeof event))
        Trace("tone: kernel beeper failed (%s)", strerror(errno));
}

// Plays the history on the kernel beeper from *cursor, where a tone of `hz`
// begins, change by change as each happens, until the speaker has been silent
// for LINGER. Returns false when there is no beeper.
bool play_on_beeper(double *cursor, double hz, unsigned *seen)
{
    int fd = open_beeper();
    if (fd < 0)
        return false;
    sound(fd, hz);
    while (!stopping()) {
        double t;
        if (SpeakerNextChange(*cursor, &t, &hz)) {
            sound(fd, hz);
            *cursor = t;
            continue;
        }
        double quiet_for = SpeakerClock() - SpeakerLastChange();
        if (SpeakerTone() == 0 && quiet_for >= LINGER)
            break;
        wait_for(seen, SpeakerTone() == 0 ? LINGER - quiet_for : IDLE);
    }
    sound(fd, 0);
    close(fd);
    return true;
}

void run_output(void)
{
    snd_lib_error_set_handler(quiet);
    unsigned seen = 0;
    double cursor = -1;
    while (!stopping()) {
        double t, hz;
        if (!SpeakerNextChange(cursor, &t, &hz)) {
            wait_for(&seen, IDLE);
            continue;
        }
        cursor = t;
        if (hz <= 0)
            continue;
        bool played = (allowed("alsa") && play_on_card(&cursor, &seen)) ||
                      (allowed("beeper") && play_on_beeper(&cursor, hz, &seen));
        if (!played) {
            // Nothing to play on: this tone is passed over.
            if (!missing_told)
                Trace("tone: no audio output; the tone is modelled only");
            missing_told = true;
            double last = SpeakerLastChange();
            if (last > cursor)
                cursor = last;
        }
    }
}

}  // namespace

void SpeakerChanged(void)
{
    if (!allowed("alsa") && !allowed("beeper"))
        return;
    Output &o = output();
    {
        std::lock_guard<std::mutex> hold(o.lock);
        if (o.stop)
            return;
        o.wakes++;
        if (!o.thread.joinable()) {
            try {
                o.thread = std::thread(run_output);
            } catch (const std::system_error &) {
                o.stop = true;  // no thread to be had: the tone is modelled only
            }
        }
    }
    o.wake.notify_all();
}
