// The technician's answers during a sweep: lines from a descriptor
// (standard input or a readings file), waited for with poll() beside the
// signal pipe, so that Ctrl+C or a time limit ends the wait at once.
#pragma once

#include "platform/deadline.h"

#include <string>

class LineSource {
public:
    enum Result { Line, End, Timeout, Signal };
    explicit LineSource(int fd = -1) : fd_(fd) {}
    int fd() const { return fd_; }
    // The line last returned, from 1.
    int lineNo() const { return lineNo_; }

    // The next line (its line end dropped), waited for until `until`. A
    // caught signal (SignalPipeCaught) ends the wait; the lines already in
    // are taken first, and what is ready to be read is read before Timeout
    // is returned, even for a time already up.
    Result next(Deadline until, std::string *line);

private:
    int fd_;
    std::string buffer_;
    bool ended_ = false;
    int lineNo_ = 0;
};

// Waits until `until` or a caught signal, whichever comes first: true for
// the signal.
bool waitForSignal(Deadline until);
