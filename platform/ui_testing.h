// For tests only: hooks into the user-interface services that a test needs to
// operate the panel without an operator.
#pragma once

// While a hook is set, MessagePopup calls it with the title and message (as
// Windows-1250 bytes) instead of showing a modal box, and returns at once.
typedef void (*PopupHook)(const char *title, const char *message);
void SetPopupHook(PopupHook hook);

// While a hook is set, ExitProgram(status) calls
// it instead (for tests that run the Exit callback in-process).
typedef void (*ExitHook)(int status);
void SetExitHook(ExitHook hook);

// Forgets every loaded panel (between test cases).
void DiscardAllPanels(void);
