// Fuzz target: T483.INI with arbitrary contents, read the way start-up reads
// it (open, language, then demo, close). A pop-up must carry a title and a
// message terminated within their buffers, the settings may only take values
// the program accepts, and a second read of the same file must agree with
// the first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "app/ini.h"
#include "app/state.h"
#include "fuzz/fuzz.h"
#include "platform/files.h"
#include "platform/ui.h"

static int popups;  // pop-ups shown during the current input

// The reader's only call into the user interface, checked instead of shown.
int MessagePopup(const char *title, const char *message)
{
    FUZZ_CHECK(title && std::memchr(title, 0, TEXT_SIZE));
    FUZZ_CHECK(message && std::memchr(message, 0, MESSAGE_SIZE));
    popups++;
    return 0;
}

static std::string folder;  // a private temporary folder holding T483.INI
static std::string path;

static void remove_folder(void)
{
    std::remove(path.c_str());
    rmdir(folder.c_str());
}

static void make_folder(void)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/t483-fuzz-XXXXXX";
    if (!mkdtemp(templ.data()))
        fuzz_fail("cannot make a temporary folder");
    folder = templ;
    path = folder + "/T483.INI";
    std::atexit(remove_folder);
}

// The two reads of start-up on the file at path.
static void read_as_at_startup(void)
{
    fhi = OpenFile(path.c_str(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII);
    FUZZ_CHECK(fhi > 0);
    ini_rd("[t483]", "language", 0, 4, &language);
    ini_rd("[t483]", "demo", 0, 2, &demo);
    FUZZ_CHECK(CloseFile(fhi) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (folder.empty())
        make_folder();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        fuzz_fail("cannot write T483.INI");

    language = 1;
    demo = 0;
    SW[0] = 0;  // the panel's texts are not set yet when the file is read
    popups = 0;
    read_as_at_startup();
    FUZZ_CHECK(language >= 1 && language <= 3);
    FUZZ_CHECK(demo == 0 || demo == 1);
    FUZZ_CHECK(popups <= 2);
    FUZZ_CHECK(std::memchr(radek, 0, TEXT_SIZE));

    // Each lookup starts from the top of the file, so reading again with the
    // settings as they now are finds the same lines and the same values.
    const int first_language = language, first_demo = demo, first_popups = popups;
    popups = 0;
    read_as_at_startup();
    FUZZ_CHECK(language == first_language);
    FUZZ_CHECK(demo == first_demo);
    FUZZ_CHECK(popups == first_popups);
    return 0;
}
