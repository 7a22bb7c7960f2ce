// serve's discovery: its SCPI port as _scpi-raw._tcp and its web panel as
// _http._tcp and _lxi._tcp, advertised by mDNS through a running Avahi
// daemon (its client library, on a thread of its own), with TXT records
// naming the model and the identification; withdrawn when it goes.
#pragma once

#include "ctl/cli.h"

#include <memory>
#include <string>

struct MdnsServices {
    std::string name;         // "T-483 48300 on lab-pc"
    int identification = 0;
    std::string version;
    int scpiPort = 0;
    int httpPort = 0;         // 0: no web panel
};

class MdnsAdvert {
public:
    // Advertises `services`; without a running Avahi says so once on
    // standard error and does nothing more.
    MdnsAdvert(const CtlContext &ctx, const MdnsServices &services);
    ~MdnsAdvert();
    MdnsAdvert(const MdnsAdvert &) = delete;
    MdnsAdvert &operator=(const MdnsAdvert &) = delete;

    struct Avahi;

private:
    std::unique_ptr<Avahi> avahi_;
};
