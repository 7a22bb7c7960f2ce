// The instrument link on one port: open, a command out, a reply back, close,
// and the reply scans. Nothing here reads or writes the program's state.
#include "link/port.h"

#include "platform/serial.h"
#include "platform/text.h"
#include "platform/trace.h"

#include <cstring>

enum {
    CR = 13,
    PORT_COUNT = 8,  // ports 1 to 8; slot 0 stands for any other number
};

// After a read that ran out of time its reply may still be on its way. Before
// the next command goes out the line is given a while to bring it, counted
// from the end of that read, and LATE_QUIET_S of quiet once it comes
// (LATE_LIMIT_S at most), so that it is dropped, not read as the next
// command's reply. The while is LATE_START_S, or only LATE_QUIET_S while the
// port's last such wait found the line quiet: a silent instrument's tick, two
// timed-out reads, then stays within 0.65 s. LATE_QUIET_S is longer than the
// gap between the bytes of a reply at 1200 baud.
static const double LATE_START_S = 0.05;
static const double LATE_QUIET_S = 0.02;
static const double LATE_LIMIT_S = 0.1;
// The while each port gives a late reply; a port is used from one thread at
// a time.
static double late_wait[PORT_COUNT + 1] = {LATE_START_S, LATE_START_S, LATE_START_S, LATE_START_S, LATE_START_S,
                                           LATE_START_S, LATE_START_S, LATE_START_S, LATE_START_S};

static double *late_wait_of(int port)
{
    return &late_wait[port >= 1 && port <= PORT_COUNT ? port : 0];
}

int link_port_open(int port)
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
// Whatever is waiting to be read when a command goes out belongs to no
// command still outstanding (a reply cut off by the timeout, the rest of an
// over-long one): left there, it would be read as this command's reply, and
// every reply after it one command late.
int link_send(int port, const char *text)
{
    if (!text)
        text = "";
    double *wait = late_wait_of(port);
    if (ComRdTimedOut(port))
        *wait = ComDrainQuiet(port, *wait, LATE_QUIET_S, LATE_LIMIT_S) == 0 ? LATE_QUIET_S : LATE_START_S;
    else
        FlushInQ(port);
    int n = 0;
    while (n < LINK_COMMAND_MAX && text[n])
        n++;
    int r = 0;
    for (int k = 0; k < n; k++) {
        r = ComWrtByte(port, (unsigned char)text[k]);
        if (r < 0) {
            TraceLink(port, '>', text, r);
            return r;
        }
    }
    r = ComWrtByte(port, CR);
    TraceLink(port, '>', text, r < 0 ? r : n);
    return r;
}

// A failed read leaves an empty reply and a negative count. So does a reply
// whose CR had not come when the read ran out of time: its first bytes alone
// ("40" of "4072") are no reply. A whole reply is read up to one byte past
// the longest: the CR after twenty bytes, or the byte that makes it too long.
static void receive(int port, LinkReply *reply, bool whole)
{
    char text[LINK_REPLY_MAX + 2];
    int count = ComRdTerm(port, text, whole ? LINK_REPLY_MAX + 1 : LINK_REPLY_MAX, CR);
    reply->timed_out = ComRdTimedOut(port);
    if (!reply->timed_out)
        *late_wait_of(port) = LATE_START_S;
    else if (count > 0)
        count = RS232_CUT_SHORT;
    if (count > LINK_REPLY_MAX)
        count = whole ? RS232_CUT_SHORT : RS232_IO;
    reply->count = count;
    reply->text[0] = 0;
    if (count > 0) {
        memcpy(reply->text, text, size_t(count));
        reply->text[count] = 0;
    }
    // A silent instrument times out with a count of 0; only a device that
    // is no longer there makes the read itself fail.
    reply->lost = count == RS232_IO;
    TraceLink(port, '<', reply->text, count);
}

void link_receive(int port, LinkReply *reply)
{
    receive(port, reply, false);
}

void link_receive_whole(int port, LinkReply *reply)
{
    receive(port, reply, true);
}

void link_port_close(int port)
{
    CloseCom(port);
}

int parse_id(const char *text, int *value)
{
    return Scan(text, "%s>%s[dt#]%i", value) == 2;
}

// A resistance is never negative: a reply that says otherwise is not one.
int parse_r(const char *text, int *value)
{
    int found;
    if (Scan(text, "%s>%i", &found) != 1 || found < 0)
        return 0;
    *value = found;
    return 1;
}

int parse_m(const char *text, int *value)
{
    return Scan(text, "%s>%i", value) == 1;
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
