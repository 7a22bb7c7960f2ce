// Connection control: Start finds the instrument, Power OFF switches it off,
// Exit hands it back to its front panel, switches it off and ends the program.
#include "panel/callbacks.h"

#include "app/state.h"
#include "link/link.h"
#include "panel/t483_uir.h"
#include "platform/serial.h"

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
