// A decade whose device went (unplugged, hung up) watched for until it is
// back: the same port, so the same path (a /dev/serial/by-id link stays the
// link it was), opened again and identified before anything else is sent.
#pragma once

#include "ctl/decade.h"

#include <string>

// How often serve and sweep look for a lost device, in ms.
inline constexpr int RECONNECT_PERIOD_MS = 500;

// Whether `device` names something now (a link is followed): a device that
// is unplugged, and its by-id link, are gone from /dev.
bool devicePresent(const std::string &device);

struct Reconnect {
    enum Outcome {
        Absent,    // nothing at the path yet
        Unopened,  // there, but it would not open (why in error)
        Silent,    // opened, but no identification came
        Other,     // opened, but another identification (in ident) came
        Back,      // the same decade: `decade` is open on it again
    };
    Outcome outcome = Absent;
    int ident = 0;
    std::string error;
};

// One look for the decade of identification `ident` on port `port` (whose
// device is `device`): opened and identified when its path is there. Only
// Back leaves `decade` open.
Reconnect reconnect(Decade &decade, int port, const std::string &device, int ident);
