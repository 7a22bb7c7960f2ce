// The line to the program: a pseudo-terminal, raw at 1200 baud, and a wire
// modelled in each direction on which, when paced, every byte takes as long
// as at 1200 baud (10 bits, 8.33 ms).
#pragma once

#include <deque>
#include <string>

#include "instrument.h"

namespace sim {

class PtyLine {
public:
    bool pace = false;

    // Opens the pseudo-terminal; its device path, or null (and the reason on
    // standard error).
    const char *open();
    int fd() const { return master_; }
    // Closes both ends: the program's device is gone.
    void close();

    // Takes in what the program has written, each byte to come through the
    // wire in; at a read error or end, nothing.
    void read();
    // A byte through the wire in by `now`, and when it came through.
    bool take(long long now, unsigned char &byte, long long &at);

    // Queues bytes for the wire out from `at`.
    void put(const std::string &bytes, long long at);
    void put(const Reply &reply, long long at);
    // Writes to the program what the wire out has passed by `now`; false
    // when the program's end is gone.
    bool write(long long now);

    // When the next byte is due in either direction; -1 for none.
    long long next_due() const;

    // Whether to hang up now, once the instrument has said to: the line goes
    // as soon as the program has read all of the wire out (or a second on).
    enum class Hangup { not_yet, soon, now };
    Hangup hang_up_when_read(long long now);

private:
    struct Wire {
        struct Timed {
            long long at;
            unsigned char byte;
        };
        std::deque<Timed> bytes;  // not yet through, in order
        long long free_at = 0;    // when the wire is next free
        void put(const std::string &text, long long at, bool pace);
    };

    Wire in_;   // from the program, not yet through to the instrument
    Wire out_;  // for the program, at their time
    int master_ = -1;
    int slave_ = -1;
    long long hangup_from_ = 0;  // when the wire out was first found empty
};

}  // namespace sim
