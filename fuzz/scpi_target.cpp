// Fuzz target: arbitrary bytes from a client of t483ctl serve, through one
// session on an instrument that checks what reaches its serial line. The
// input is fed in pieces (their size from the first byte), as a socket
// would hand it over. Checked: replies are whole lines, no more than the
// lines sent; the error queue stays within its length; the decade is only
// set to resistances it takes, and only after it was put under remote
// control.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ctl/scpi.h"
#include "fuzz/fuzz.h"

namespace {

struct Checked : scpi::Instrument {
    bool remote = false;   // as the decade would be
    int toggle = 0;        // answers now and then missing

    bool answers() { return ++toggle % 7 != 0; }
    std::optional<int> resistance() override { return answers() ? std::optional<int>(4072) : std::nullopt; }
    std::optional<int> voltage() override { return answers() ? std::optional<int>(2500) : std::nullopt; }
    bool setRemote(bool on) override
    {
        const bool ok = answers();
        remote = ok && on;
        return ok;
    }
    bool setResistance(int mohm) override
    {
        FUZZ_CHECK(remote);
        FUZZ_CHECK(mohm >= scpi::MIN_MOHM && mohm <= scpi::MAX_MOHM);
        return answers();
    }
    bool powerOff() override
    {
        remote = false;
        return answers();
    }    bool identifies() override { return answers(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 64;
    const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);

    Checked instrument;
    scpi::DeviceState state;
    scpi::Session session(scpi::Identity{48300, "1.0"});
    std::string out;
    for (size_t k = 0; k < input.size(); k += piece) {
        out += session.run(input.substr(k, piece), instrument, state);
        FUZZ_CHECK(session.errorCount() <= scpi::ERROR_QUEUE);
        FUZZ_CHECK(!session.waiting());
        // The server's idea of the decade never claims remote control the
        // decade does not have.
        FUZZ_CHECK(!state.remote || instrument.remote);
    }
    size_t lines = 0;
    for (char c : input)
        lines += c == '\n';
    size_t replies = 0;
    for (char c : out)
        replies += c == '\n';
    FUZZ_CHECK(out.empty() || out.back() == '\n');
    FUZZ_CHECK(replies <= lines);

    // A parameter on its own: a resistance the decade takes, or an error.
    const scpi::Resistance r = scpi::parseResistance(input.substr(0, 64));
    FUZZ_CHECK(r.error != 0 || (r.mohm >= scpi::MIN_MOHM && r.mohm <= scpi::MAX_MOHM));
    return 0;
}
