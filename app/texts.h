// The program's localised texts, as Windows-1250 bytes, by language.
#pragma once

struct Language {
    const char *title;     // panel title
    const char *vyp;       // label of the Power OFF button
    const char *konec;     // label of the Exit button
    const char *sw;        // title of every message pop-up
    const char *notfound;  // the instrument-not-found message
    const char *lost;      // the connection-lost message: %d the port, %s its device
    // The COM selector: its context menu's default item (%s the device), the
    // sources of a port's device in its tooltip (the environment's: %d the
    // port; the settings file's: %s the file), and the pop-up when a choice
    // cannot be saved (%d the port, %s the file).
    const char *port_default;
    const char *from_default;
    const char *from_environment;
    const char *from_settings;
    const char *not_saved;
    // The context menu's first item while T483_COM<n> names the port's device
    // (%s the device, %d the port): the choices below it do not hold then.
    const char *env_overrides;
};

// Texts of language 1 (Czech), 2 (Slovak) or 3 (English); nullptr for any
// other value.
const Language *language_texts(int lang);

// The configuration error template for a language: Slovak for 2, English for
// 3, Czech for any other value. Two %s: the section, then the key line.
const char *ini_error_template(int lang);
