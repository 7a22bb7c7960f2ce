// The COM selector: its tooltip, naming the device each port number reaches,
// and its context menu, choosing the selected port's device.
#include "panel/callbacks.h"

#include "app/settings.h"
#include "app/state.h"
#include "app/texts.h"
#include "panel/t483_uir.h"
#include "platform/serial.h"
#include "platform/text.h"

#include <cstring>

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
// what it is, then the selected port's default device, the one in force
// checked (the settings file's device first when it is not among those
// present). Choosing one makes it the selected port's device and remembers it
// in the settings file; one that cannot be saved holds for the session, and
// the operator is told. While T483_COM<n> names the port's device, the first
// item says so, checked, and the choices are greyed: none would hold.
enum { MENU_MAX = COM_LIST_MAX + 2, ITEM_SIZE = 2 * COM_TEXT_SIZE + 256 };
static struct {
    char text[ITEM_SIZE];
    char device[COM_TEXT_SIZE];  // what choosing it sets: "" the default
    bool chooses;                // false: choosing it changes nothing
    int marks;
} menu_items[MENU_MAX];
static int menu_count;

static void add_item(const char *text, const char *device, int marks, bool chooses = true)
{
    if (menu_count >= MENU_MAX)
        return;
    Fmt(menu_items[menu_count].text, ITEM_SIZE, "%s", text);
    Fmt(menu_items[menu_count].device, COM_TEXT_SIZE, "%s", device);
    menu_items[menu_count].chooses = chooses && !(marks & MENU_DIMMED);
    menu_items[menu_count].marks = marks;
    menu_count++;
}

static void make_menu(int panel, int control, int port)
{
    static ComDevice found[COM_LIST_MAX];
    const int found_count = ListComDevices(found, COM_LIST_MAX);
    const int source = ComDeviceSource(port);
    const int dim = source == COM_FROM_ENVIRONMENT ? MENU_DIMMED : 0;
    const char *setting = ComSetting(port);
    char text[ITEM_SIZE];
    menu_count = 0;
    if (source == COM_FROM_ENVIRONMENT) {
        Fmt(text, sizeof text, texts()->env_overrides, ComDeviceName(port), port);
        add_item(text, "", MENU_CHECKED, false);
    }
    bool listed = !setting[0];
    for (int k = 0; k < found_count; k++)
        listed = listed || !strcmp(found[k].device, setting);
    if (!listed)
        add_item(setting, setting, dim | (source == COM_FROM_SETTINGS ? MENU_CHECKED : 0));
    for (int k = 0; k < found_count; k++) {
        if (found[k].description[0])
            Fmt(text, sizeof text, "%s  (%s)", found[k].device, found[k].description);
        else
            Fmt(text, sizeof text, "%s", found[k].device);
        const bool in_force = source == COM_FROM_SETTINGS && !strcmp(found[k].device, setting);
        add_item(text, found[k].device, dim | (in_force ? MENU_CHECKED : 0));
    }
    Fmt(text, sizeof text, texts()->port_default, ComDefaultDevice(port));
    add_item(text, "", dim | (source == COM_DEFAULT ? MENU_CHECKED : 0));

    static const char *item_list[MENU_MAX];
    for (int k = 0; k < menu_count; k++)
        item_list[k] = menu_items[k].text;
    SetCtrlMenu(panel, control, item_list, menu_count);
    for (int k = 0; k < menu_count; k++)
        SetCtrlMenuItem(panel, control, k, menu_items[k].marks);
}

CVICALLBACK int cbcom(int panel, int control, int event, void *, int eventData1, int)
{
    int port = 1;
    GetCtrlVal(panel, control, &port);
    if (event == EVENT_MENU_WANTED) {
        make_menu(panel, control, port);
    } else if (event == EVENT_MENU && eventData1 >= 0 && eventData1 < menu_count && menu_items[eventData1].chooses) {
        static char device[COM_TEXT_SIZE];
        Fmt(device, sizeof device, "%s", menu_items[eventData1].device);
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
