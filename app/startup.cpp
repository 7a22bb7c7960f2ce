// Start-up: run-time, configuration file, main panel, localisation, the
// controls' start-up states, then the event loop.
#include "app/startup.h"

#include "app/ini.h"
#include "app/settings.h"
#include "app/state.h"
#include "app/texts.h"
#include "panel/callbacks.h"
#include "panel/t483_uir.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui.h"

enum { RED = 0xFF0000, GREEN = 0x00FF00, LIGHT_GREY = 0xC0C0C0 };

// Reads language, demo and the ports' devices from T483.INI in the working
// directory, else from the one in the user's configuration folder (see
// ini_open). The file is opened for reading only: it is written only when the
// operator chooses a port's device (ini_save_port), and a read-only file must
// still be read.
static void read_configuration(void)
{
    if (ini_open() < 0)
        return;
    ini_rd("[t483]", "language", 0, 4, &language);
    ini_rd("[t483]", "demo", 0, 2, &demo);
    ini_rd_ports();
    CloseFile(fhi);
}

static void localise(void)
{
    const Language *texts = language_texts(language);
    if (!texts)
        return;
    SetPanelAttribute(pnl_hl, ATTR_TITLE, texts->title);
    SetCtrlAttribute(pnl_hl, hl_vyp, ATTR_LABEL_TEXT, texts->vyp);
    SetCtrlAttribute(pnl_hl, hl_konec, ATTR_LABEL_TEXT, texts->konec);
    Fmt(SW, sizeof SW, "%s", texts->sw);
    Fmt(t1, sizeof t1, "%s", texts->notfound);
}

int WinMain(void *hInstance, void *, char *, int)
{
    if (InitCVIRTEEx(hInstance, 0, 0) == 0)
        return -1;

    read_configuration();

    pnl_hl = LoadPanel(0, "T483.UIR", hl);
    // Without its panel the program would run on with no window at all; the
    // loader has already said why on stderr.
    if (pnl_hl < 0)
        return -1;
    SetPanelPos(pnl_hl, VAL_AUTO_CENTER, VAL_AUTO_CENTER);
    SetPanelAttribute(pnl_hl, ATTR_CLOSE_CTRL, hl_konec);
    describe_ports();
    InstallCtrlCallback(pnl_hl, hl_com, cbcom, nullptr);
    SetCtrlMenu(pnl_hl, hl_com, nullptr, 0);

    localise();
    DisplayPanel(pnl_hl);

    static const int dimmed_at_start[] = {hl_R0, hl_R1, hl_R2, hl_R3, hl_odpor, hl_vyp, hl_remote};
    for (int ctrl : dimmed_at_start)
        SetCtrlAttribute(pnl_hl, ctrl, ATTR_DIMMED, 1);

    SetCtrlAttribute(pnl_hl, hl_LED1, ATTR_ON_COLOR, RED);
    SetCtrlAttribute(pnl_hl, hl_LED2, ATTR_ON_COLOR, RED);
    SetCtrlAttribute(pnl_hl, hl_LED3, ATTR_ON_COLOR, RED);
    SetCtrlAttribute(pnl_hl, hl_LED4, ATTR_ON_COLOR, GREEN);
    static const int leds[] = {hl_LED1, hl_LED2, hl_LED3, hl_LED4};
    for (int ctrl : leds)
        SetCtrlAttribute(pnl_hl, ctrl, ATTR_OFF_COLOR, LIGHT_GREY);

    SetActiveCtrl(pnl_hl, hl_start);

    RunUserInterface();
    return 0;
}
