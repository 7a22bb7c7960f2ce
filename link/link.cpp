// The instrument link: the port with the T-483's line settings, commands out
// with their carriage return, one reply back into radek, and the reply scans.
#include "link/link.h"

#include "app/state.h"
#include "platform/serial.h"
#include "platform/text.h"
#include "platform/trace.h"

enum {
    CR = 13,
    REPLY_MAX = 20,  // the longest reply the instrument sends
};

// After a read that ran out of time its reply may still be on its way. Before
// the next command goes out the line is given a while to bring it, counted
// from the end of that read, and LATE_QUIET_S of quiet once it comes
// (LATE_LIMIT_S at most), so that it is dropped, not read as the next
// command's reply. The while is LATE_START_S, or only LATE_QUIET_S while the
// last such wait found the line quiet: a silent instrument's tick, two
// timed-out reads, then stays within 0.65 s. LATE_QUIET_S is longer than the
// gap between the bytes of a reply at 1200 baud.
static const double LATE_START_S = 0.05;
static const double LATE_QUIET_S = 0.02;
static const double LATE_LIMIT_S = 0.1;
static double late_wait = LATE_START_S;

int link_open(int port)
{
    int r = OpenComConfig(port, "", 1200, 0, 8, 1, 40, 40);
    if (r != 0)
        return r;
    SetCTSMode(port, 0);
    SetXMode(port, 0);
    // Modem lines: a pseudo-terminal or an adapter without them refuses;
    // the instrument talks all the same.
    ComSetEscape(port, SETDTR);
    ComSetEscape(port, CLRRTS);
    SetComTime(port, 0.3);
    FlushInQ(port);
    return 0;
}

// Stops at the first failed write: sending the rest of a broken command, or
// its carriage return, would only make the instrument act on a wrong one.
// No command is longer than a line, so a text without its NUL cannot run on.
// Whatever is waiting to be read when a command goes out belongs to no
// command still outstanding (a reply cut off by the timeout, the rest of an
// over-long one): left there, it would be read as this command's reply, and
// every reply after it one command late.
int sendstring(const char *text)
{
    if (demo)
        return demo;
    if (!text)
        text = "";
    if (ComRdTimedOut(com))
        late_wait = ComDrainQuiet(com, late_wait, LATE_QUIET_S, LATE_LIMIT_S) == 0 ? LATE_QUIET_S : LATE_START_S;
    else
        FlushInQ(com);
    int n = 0;
    while (n < TEXT_SIZE - 1 && text[n])
        n++;
    int r = 0;
    for (int k = 0; k < n; k++) {
        r = ComWrtByte(com, (unsigned char)text[k]);
        if (r < 0) {
            TraceLink(com, '>', text, r);
            return r;
        }
    }
    r = ComWrtByte(com, CR);
    TraceLink(com, '>', text, r < 0 ? r : n);
    return r;
}

// A failed read, and every read in offline mode (no port is open), leaves an
// empty reply and a negative i. So does a reply whose CR had not come when
// the read ran out of time: its first bytes alone ("40" of "4072") are no
// reply.
void link_read(void)
{
    if (demo) {
        i = RS232_NOT_OPEN;
        radek[0] = 0;
        return;
    }
    i = ComRdTerm(com, radek, REPLY_MAX, CR);
    if (!ComRdTimedOut(com))
        late_wait = LATE_START_S;
    else if (i > 0)
        i = RS232_CUT_SHORT;
    if (i < 0 || i > REPLY_MAX) {
        if (i > REPLY_MAX)
            i = RS232_IO;
        radek[0] = 0;
    } else {
        radek[i] = 0;
    }
    TraceLink(com, '<', radek, i);
}

void link_close(void)
{
    CloseCom(com);
}

void scan_id(void)
{
    int value;
    if (Scan(radek, "%s>%s[dt#]%i", &value) == 2)
        i = value;
}

// A resistance is never negative: a reply that says otherwise is not one.
void scan_r(void)
{
    int value;
    if (Scan(radek, "%s>%i", &value) == 1 && value >= 0)
        R = value;
}

void scan_m(void)
{
    int value;
    M = Scan(radek, "%s>%i", &value) == 1 ? value : 0;
}

// Identification values of a T-483: value / divisor == quotient for any row.
static const struct {
    int divisor;
    int quotient;
} ident_rules[] = {
    {100, 483},    // 48300 to 48399
    {1000, 483},   // 483000 to 483999
    {10000, 27},   // 270000 to 279999
};

int t483_ident_ok(int ident)
{
    for (const auto &rule : ident_rules)
        if (ident / rule.divisor == rule.quotient)
            return 1;
    return 0;
}

// A silent instrument times out with a count of 0; only a device that is no
// longer there makes the read itself fail.
int link_lost(void)
{
    return demo == 0 && i == RS232_IO;
}
