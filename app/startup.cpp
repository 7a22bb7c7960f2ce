// Start-up: run-time, configuration file, main panel, localisation, the
// controls' start-up states, then the event loop.
#include "app/startup.h"

#include "app/ini.h"
#include "app/state.h"
#include "app/texts.h"
#include "panel/t483_uir.h"
#include "platform/files.h"
#include "platform/serial.h"
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

// The texts of the language in force (Czech when it has none).
static const Language *texts(void)
{
    const Language *t = language_texts(language);
    return t ? t : language_texts(1);
}

// The COM selector's tooltip names the device each port number reaches, and
// where that comes from: the environment, the settings file or the default.
static void describe_ports(void)
{
    enum { LINE = COM_TEXT_SIZE + 1200 };
    static char tip[8 * LINE];
    char source[1200];
    int used = 0;
    for (int port = 1; port <= 8 && used < (int)sizeof tip; port++) {
        switch (ComDeviceSource(port)) {
        case COM_FROM_ENVIRONMENT: Fmt(source, sizeof source, texts()->from_environment, port); break;
        case COM_FROM_SETTINGS: Fmt(source, sizeof source, texts()->from_settings, ini_path()); break;
        default: Fmt(source, sizeof source, "%s", texts()->from_default); break;
        }
        used += Fmt(tip + used, (int)sizeof tip - used, port > 1 ? "\nCOM%d: %s (%s)" : "COM%d: %s (%s)", port,
                    ComDeviceName(port), source);
    }
    SetCtrlAttribute(pnl_hl, hl_com, ATTR_TOOLTIP_TEXT, tip);
}

// The COM selector's context menu: the serial devices present, each with
// what it is, then the selected port's default device. Choosing one makes
// it the selected port's device and remembers it in the settings file; one
// that cannot be saved holds for the session, and the operator is told.
static ComDevice found[COM_LIST_MAX];
static int found_count;

static int CVICALLBACK cbcom(int panel, int control, int event, void *, int eventData1, int)
{
    int port = 1;
    GetCtrlVal(panel, control, &port);
    if (event == EVENT_MENU_WANTED) {
        static char items[COM_LIST_MAX + 1][2 * COM_TEXT_SIZE + 8];
        static const char *item_list[COM_LIST_MAX + 1];
        found_count = ListComDevices(found, COM_LIST_MAX);
        for (int k = 0; k < found_count; k++) {
            if (found[k].description[0])
                Fmt(items[k], sizeof items[k], "%s  (%s)", found[k].device, found[k].description);
            else
                Fmt(items[k], sizeof items[k], "%s", found[k].device);
            item_list[k] = items[k];
        }
        Fmt(items[found_count], sizeof items[found_count], texts()->port_default, ComDefaultDevice(port));
        item_list[found_count] = items[found_count];
        SetCtrlMenu(panel, control, item_list, found_count + 1);
    } else if (event == EVENT_MENU && eventData1 >= 0 && eventData1 <= found_count) {
        static char device[COM_TEXT_SIZE];
        Fmt(device, sizeof device, "%s", eventData1 < found_count ? found[eventData1].device : "");
        SetComSetting(port, device);
        if (ini_save_port(port, device) != 0) {
            static char message[2 * MESSAGE_SIZE + 1024];
            Fmt(message, sizeof message, texts()->not_saved, port, ini_path()[0] ? ini_path() : "T483.INI");
            MessagePopup(SW, message);
        }
        describe_ports();
    }
    return 0;
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
