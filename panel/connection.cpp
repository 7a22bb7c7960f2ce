// Connection control: Start finds the instrument, Power OFF switches it off,
// Exit hands it back to its front panel, switches it off and ends the program.
#include "panel/callbacks.h"

#include "app/state.h"
#include "app/texts.h"
#include "link/link.h"
#include "panel/t483_uir.h"
#include "platform/serial.h"
#include "platform/text.h"

#include <vector>

enum { RED = 0xFF0000 };
// The identification offline mode pretends to have read.
enum { OFFLINE_IDENT = 48300 };

CVICALLBACK int cbstart(int, int, int event, void *, int, int)
{
    if (event != EVENT_COMMIT)
        return 0;
    if (demo == 0) {
        GetCtrlVal(pnl_hl, hl_com, &com);
        i = link_open(com);
        if (i != 0) {
            SetCtrlAttribute(pnl_hl, hl_com, ATTR_FAIL_COLOR, RED);
            MessagePopup(SW, GetRS232ErrorString(i));
            return 0;
        }
        sendstring("I");
        link_read();
        scan_id();
    } else {
        i = OFFLINE_IDENT;
    }
    if (t483_ident_ok(i)) {
        run = 1;
        SetCtrlAttribute(pnl_hl, hl_com, ATTR_DIMMED, 1);
        SetCtrlAttribute(pnl_hl, hl_start, ATTR_DIMMED, 1);
        SetCtrlAttribute(pnl_hl, hl_vyp, ATTR_DIMMED, 0);
        SetCtrlAttribute(pnl_hl, hl_remote, ATTR_DIMMED, 0);
    } else {
        SetCtrlAttribute(pnl_hl, hl_com, ATTR_FAIL_COLOR, RED);
        MessagePopup(SW, t1);
        SetActiveCtrl(pnl_hl, hl_konec);
        link_close();
    }
    return 0;
}

CVICALLBACK int cbvypnout(int, int, int event, void *, int, int)
{
    if (event != EVENT_COMMIT)
        return 0;
    sendstring("P0");
    link_read();
    lost();
    return 0;
}

CVICALLBACK int cbkonec(int, int, int event, void *, int, int)
{
    if (event != EVENT_COMMIT)
        return 0;
    if (run != 0 && demo == 0) {
        sendstring("L1");
        link_read();
        sendstring("P0");
        link_read();
        link_close();
    }
    ExitProgram(0);
    return 0;
}

// The controls as start-up leaves them: those that set or show the
// instrument at their start-up values and dimmed (the same ones start-up
// dims), the lamps dark, the port choice and Start usable, Start focused.
static void panel_as_at_start(void)
{
    static const int zeroed[] = {hl_R0, hl_R1, hl_R2, hl_R3, hl_odpor, hl_remote,
                                 hl_LED1, hl_LED2, hl_LED3, hl_LED4};
    static const int dimmed[] = {hl_R0, hl_R1, hl_R2, hl_R3, hl_odpor, hl_vyp, hl_remote};
    for (int ctrl : zeroed)
        SetCtrlVal(pnl_hl, ctrl, 0);
    for (int ctrl : dimmed)
        SetCtrlAttribute(pnl_hl, ctrl, ATTR_DIMMED, 1);
    SetCtrlAttribute(pnl_hl, hl_com, ATTR_DIMMED, 0);
    SetCtrlAttribute(pnl_hl, hl_start, ATTR_DIMMED, 0);
    SetActiveCtrl(pnl_hl, hl_start);
}

// The message names the port and its device whole: a device path may be
// far longer than the texts of app/state.h, so it is composed into a buffer
// of its own length.
static void say_lost(void)
{
    const Language *texts = language_texts(language);
    const char *format = (texts ? texts : language_texts(1))->lost;
    const char *device = ComDeviceName(com);
    std::vector<char> text(Fmt(nullptr, 0, format, com, device) + 1);
    Fmt(text.data(), (int)text.size(), format, com, device);
    MessagePopup(SW, text.data());
}

// run is 0 from the first command that finds the device gone, so that no
// other command of the same callback, and no later tick, asks again.
int lost(void)
{
    if (run == 0 || !link_lost())
        return 0;
    run = 0;
    remote = 0;
    R = 0;
    M = 0;
    link_close();
    panel_as_at_start();
    say_lost();
    return 1;
}
