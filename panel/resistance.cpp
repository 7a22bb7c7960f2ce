// Resistance setting and monitoring: the four decade knobs and the numeric set
// the resistance under remote control; the timer mirrors the front panel under
// local control and keeps the test-voltage indicators current.
#include "panel/callbacks.h"

#include "app/state.h"
#include "link/link.h"
#include "panel/t483_uir.h"
#include "platform/text.h"

// Sends "R" and the resistance R, and reads the reply; 1 when that found the
// instrument gone (see lost).
static int send_resistance(void)
{
    Fmt(radek, sizeof radek, "R%d", R);
    sendstring(radek);
    link_read();
    return lost();
}

// Sets the knobs to the plain decimal digits of R; the thousands knob takes
// R / 1000 whole. Values set from code raise no callback, so the order in
// which the knobs are set does not matter.
static void show_knobs(void)
{
    SetCtrlVal(pnl_hl, hl_R3, R / 1000);
    SetCtrlVal(pnl_hl, hl_R2, R % 1000 / 100);
    SetCtrlVal(pnl_hl, hl_R1, R % 100 / 10);
    SetCtrlVal(pnl_hl, hl_R0, R % 10);
}

CVICALLBACK int cbr(int, int, int event, void *, int, int)
{
    if (event != EVENT_COMMIT || run == 0)
        return 0;
    int r0 = 0, r1 = 0, r2 = 0, r3 = 0;
    GetCtrlVal(pnl_hl, hl_R0, &r0);
    GetCtrlVal(pnl_hl, hl_R1, &r1);
    GetCtrlVal(pnl_hl, hl_R2, &r2);
    GetCtrlVal(pnl_hl, hl_R3, &r3);
    R = r0 + 10 * r1 + 100 * r2 + 1000 * r3;
    if (send_resistance())
        return 0;
    SetCtrlVal(pnl_hl, hl_odpor, R);
    return 0;
}

CVICALLBACK int cbodpor(int, int, int event, void *, int, int)
{
    if (event != EVENT_VAL_CHANGED)
        return 0;
    GetCtrlVal(pnl_hl, hl_odpor, &R);
    if (send_resistance())
        return 0;
    show_knobs();
    return 0;
}

CVICALLBACK int cbremote(int, int, int event, void *, int, int)
{
    if (event != EVENT_COMMIT || run == 0)
        return 0;
    GetCtrlVal(pnl_hl, hl_remote, &remote);
    static const int settable[] = {hl_R0, hl_R1, hl_R2, hl_R3, hl_odpor};
    Fmt(radek, sizeof radek, "%s", remote ? "L0" : "L1");
    for (int ctrl : settable)
        SetCtrlAttribute(pnl_hl, ctrl, ATTR_DIMMED, remote ? 0 : 1);
    SetCtrlVal(pnl_hl, hl_LED4, remote ? 1 : 0);
    sendstring(radek);
    link_read();
    lost();
    return 0;
}

CVICALLBACK int cbtimer(int, int, int event, void *, int, int)
{
    if (event != EVENT_TIMER_TICK || run == 0)
        return 0;
    if (remote == 0) {
        sendstring("K");
        link_read();
        if (lost())
            return 0;
        scan_r();
        show_knobs();
        SetCtrlVal(pnl_hl, hl_odpor, R);
    }
    LED();
    return 0;
}

// Which indicator each recognised voltage lights; the other two go dark, in
// the order listed.
static const struct {
    int volts;
    int lit, dark1, dark2;
} indicators[] = {
    {1000, hl_LED3, hl_LED1, hl_LED2},
    {2500, hl_LED2, hl_LED1, hl_LED3},
    {5000, hl_LED1, hl_LED2, hl_LED3},
};

void LED(void)
{
    sendstring("M");
    link_read();
    if (lost())
        return;
    scan_m();
    for (const auto &v : indicators) {
        if (M == v.volts) {
            SetCtrlVal(pnl_hl, v.lit, 1);
            SetCtrlVal(pnl_hl, v.dark1, 0);
            SetCtrlVal(pnl_hl, v.dark2, 0);
            return;
        }
    }
    SetCtrlVal(pnl_hl, hl_LED1, 0);
    SetCtrlVal(pnl_hl, hl_LED2, 0);
    SetCtrlVal(pnl_hl, hl_LED3, 0);
}
