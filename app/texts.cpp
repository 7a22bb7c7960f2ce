// The localised texts. Written here in UTF-8, stored in the program as
// Windows-1250 bytes (converted at compile time).
#include "app/texts.h"

#include "platform/cp1250.h"

static const Language languages[] = {
    // 1 Czech
    {CP1250("Ovládací panel dekády T-483"), CP1250("Vypnout"), CP1250("Konec"),
     CP1250("Ovládání dekády T-483"), CP1250("Přístroj T-483 se na sběrnici RS232 nehlásí!"),
     CP1250("Spojení s přístrojem bylo přerušeno: COM%d (%s). Zkontrolujte kabel a stiskněte Start."),
     CP1250("Výchozí (%s)"), CP1250("výchozí"), CP1250("proměnná prostředí T483_COM%d"),
     CP1250("soubor nastavení %s"),
     CP1250("Volbu zařízení pro COM%d nelze uložit do souboru %s. Platí jen do ukončení programu."),
     CP1250("%s: určuje proměnná prostředí T483_COM%d, má přednost před volbou")},
    // 2 Slovak: panel title and Power OFF label as in Czech
    {CP1250("Ovládací panel dekády T-483"), CP1250("Vypnout"), CP1250("Koniec"),
     CP1250("Ovládanie dekády T-483"), CP1250("Prístroj T-483 sa na zbernici RS232 nehlásí!"),
     CP1250("Spojenie s prístrojom bolo prerušené: COM%d (%s). Skontrolujte kábel a stlačte Start."),
     CP1250("Predvolené (%s)"), CP1250("predvolené"), CP1250("premenná prostredia T483_COM%d"),
     CP1250("súbor nastavení %s"),
     CP1250("Voľbu zariadenia pre COM%d nemožno uložiť do súboru %s. Platí len do ukončenia programu."),
     CP1250("%s: určuje premenná prostredia T483_COM%d, má prednosť pred voľbou")},
    // 3 English
    {"T-483 Control Panel", "Power OFF", "Exit", "T-483 Control",
     "Instrument T-483 on RS232 BUS not found!",
     "Connection to the instrument lost: COM%d (%s). Check the cable and press Start.",
     "Default (%s)", "default", "environment variable T483_COM%d", "settings file %s",
     "The device chosen for COM%d cannot be saved in the file %s. It holds until the program ends.",
     "%s: set by the environment variable T483_COM%d, which overrides the choice"},
};

static const char *const ini_templates[] = {
    CP1250("Nepřípustný parametr v T483.INI: %s, %s"),                 // Czech, and the default
    CP1250("Neprípustný parameter v T483.INI: %s, %s"),                // 2 Slovak
    "Not acceptable parameter in the file T483.INI: %s, %s",           // 3 English
};

const Language *language_texts(int lang)
{
    const int count = sizeof languages / sizeof languages[0];
    return lang >= 1 && lang <= count ? &languages[lang - 1] : nullptr;
}

const char *ini_error_template(int lang)
{
    return lang == 2 || lang == 3 ? ini_templates[lang - 1] : ini_templates[0];
}
