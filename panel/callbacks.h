// The main panel's control callbacks, bound to their controls by name in the
// layout T483.UIR.
#pragma once

#include "platform/ui.h"

CVICALLBACK int cbstart(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
CVICALLBACK int cbvypnout(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
CVICALLBACK int cbkonec(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
CVICALLBACK int cbr(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
CVICALLBACK int cbodpor(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
CVICALLBACK int cbremote(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
CVICALLBACK int cbtimer(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
// The COM selector's context menu: the layout names no callback for the
// selector, so start-up installs this one.
CVICALLBACK int cbcom(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// Puts in the COM selector's tooltip the device each port number reaches,
// and where that comes from.
void describe_ports(void);

// Asks for the test voltage and lights the indicator of the one reported.
void LED(void);

// After a command's reply, while connected: when the read found the port's
// device gone, closes the port, puts the panel back as start-up left it so
// that Start can be tried again, says so in one pop-up and returns 1; else 0.
int lost(void);
