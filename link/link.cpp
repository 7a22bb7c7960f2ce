// The panel's link: the port `com`, commands out, one reply back into radek
// and i, and the reply scans into i, R and M. Each is the port's link
// (link/port.h) with its result put where the panel reads it.
#include "link/link.h"

#include "app/state.h"
#include "link/port.h"
#include "platform/serial.h"

#include <cstring>

static_assert(int(LINK_COMMAND_MAX) == int(TEXT_SIZE) - 1, "a command is as long as radek holds");
static_assert(int(LINK_REPLY_MAX) < int(TEXT_SIZE), "a reply fits radek");

int link_open(int port)
{
    return link_port_open(port);
}

int sendstring(const char *text)
{
    if (demo)
        return demo;
    return link_send(com, text);
}

// Every read in offline mode (no port is open) leaves an empty reply and a
// negative i, as a failed one does. Of radek only the reply and its NUL are
// written.
void link_read(void)
{
    if (demo) {
        i = RS232_NOT_OPEN;
        radek[0] = 0;
        return;
    }
    LinkReply reply;
    link_receive(com, &reply);
    i = reply.count;
    if (reply.count < 0)
        radek[0] = 0;
    else
        memcpy(radek, reply.text, size_t(reply.count) + 1);
}

void link_close(void)
{
    link_port_close(com);
}

void scan_id(void)
{
    int value;
    if (parse_id(radek, &value))
        i = value;
}

void scan_r(void)
{
    int value;
    if (parse_r(radek, &value))
        R = value;
}

void scan_m(void)
{
    int value;
    M = parse_m(radek, &value) ? value : 0;
}

int link_lost(void)
{
    return demo == 0 && i == RS232_IO;
}
