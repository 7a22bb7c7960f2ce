// The program's localised texts, as Windows-1250 bytes, by language.
#pragma once

struct Language {
    const char *title;     // panel title
    const char *vyp;       // label of the Power OFF button
    const char *konec;     // label of the Exit button
    const char *sw;        // title of every message pop-up
    const char *notfound;  // the instrument-not-found message
    const char *lost;      // the connection-lost message: %d the port, %s its device
};

// Texts of language 1 (Czech), 2 (Slovak) or 3 (English); nullptr for any
// other value.
const Language *language_texts(int lang);

// The configuration error template for a language: Slovak for 2, English for
// 3, Czech for any other value. Two %s: the section, then the key line.
const char *ini_error_template(int lang);
