// A lost decade looked for again: its path, the port opened, "I".
#include "ctl/reconnect.h"

#include <sys/stat.h>

bool devicePresent(const std::string &device)
{
    struct stat st {};
    return !device.empty() && ::stat(device.c_str(), &st) == 0;
}

Reconnect reconnect(Decade &decade, int port, const std::string &device, int ident)
{
    Reconnect r;
    decade.close();
    if (!devicePresent(device))
        return r;
    if (decade.open(port, &r.error) != 0) {
        r.outcome = Reconnect::Unopened;
        return r;
    }
    const std::optional<int> found = decade.identify();
    if (!found) {
        r.outcome = Reconnect::Silent;
    } else if (*found != ident) {
        r.outcome = Reconnect::Other;
        r.ident = *found;
    } else {
        r.outcome = Reconnect::Back;
        r.ident = ident;
        return r;
    }
    decade.close();
    return r;
}
