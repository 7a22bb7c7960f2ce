// The COM selector: its tooltip, naming the device each port number reaches,
// and its context menu, choosing the selected port's device.
#include "panel/callbacks.h"

#include "app/settings.h"
#include "app/state.h"
#include "app/texts.h"
#include "panel/t483_uir.h"
#include "platform/serial.h"
#include "platform/text.h"

// The texts of the language in force (Czech when it has none).
static const Language *texts(void)
{
    const Language *t = language_texts(language);
    return t ? t : language_texts(1);
}

// The COM selector's tooltip names the device each port number reaches, and
// where that comes from: the environment, the settings file or the default.
void describe_ports(void)
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

CVICALLBACK int cbcom(int panel, int control, int event, void *, int eventData1, int)
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
