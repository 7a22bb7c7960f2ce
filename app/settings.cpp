// The settings file: where it is, and the ports chosen in it, read and
// remembered. No user interface: t483ctl reads the same file.
#include "app/settings.h"

#include "app/state.h"
#include "platform/files.h"
#include "platform/serial.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdlib>
#include <string>

enum { PATH_SIZE = 1024 };
enum { SETTINGS_LIMIT = 64 * 1024 };  // the most of a settings file read, as OpenFile reads
static const char SECTION[] = "[t483]";
static char settings_path[PATH_SIZE];

// $XDG_CONFIG_HOME/t483/T483.INI, or ~/.config/t483/T483.INI when that is
// not set (or not an absolute path); "" without a home folder.
static void config_home_file(char *out, int size)
{
    const char *xdg = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    out[0] = 0;
    if (xdg && xdg[0] == '/')
        Fmt(out, size, "%s/t483/T483.INI", xdg);
    else if (home && home[0] == '/')
        Fmt(out, size, "%s/.config/t483/T483.INI", home);
}

int ini_open(void)
{
    char here[PATH_SIZE];
    fhi = OpenFile("T483.INI", VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII);
    if (fhi >= 0) {
        if (GetDir(here, sizeof here) == 0)
            Fmt(settings_path, sizeof settings_path, "%s/T483.INI", here);
        else
            Fmt(settings_path, sizeof settings_path, "T483.INI");
        return fhi;
    }
    config_home_file(settings_path, sizeof settings_path);
    if (settings_path[0])
        fhi = OpenFile(settings_path, VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII);
    return fhi;
}

const char *ini_path(void)
{
    return settings_path;
}

// The port a key line chooses a device for: com<n> (case ignored), spaces or
// tabs, '='. 0 when it is no such line; else n, with *value where the rest of
// the line begins.
static int port_key(const char *line, const char **value)
{
    if (CompareBytes(line, 0, "com", 0, 3, 0) != 0 || line[3] < '1' || line[3] > '8')
        return 0;
    const char *p = line + 4;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p != '=')
        return 0;
    *value = p + 1;
    return line[3] - '0';
}

// The path on a key line, without the spaces and tabs around it.
static void path_of(const char *value, char *out, int size)
{
    while (*value == ' ' || *value == '\t')
        value++;
    int n = StringLength(value);
    while (n > 0 && (value[n - 1] == ' ' || value[n - 1] == '\t'))
        n--;
    if (n >= size)
        n = 0;  // a path too long for a port is none
    std::copy(value, value + n, out);
    out[n] = 0;
}

void ini_rd_ports(void)
{
    static char line[PATH_SIZE];
    int result = 0;
    SetFilePtr(fhi, 0, 0);
    while (result >= 0) {
        result = ReadLine(fhi, line, sizeof line - 1);
        if (result >= 0 && CompareBytes(line, 0, SECTION, 0, StringLength(SECTION), 0) == 0)
            break;
    }
    while (result >= 0) {
        result = ReadLine(fhi, line, sizeof line - 1);
        if (result < 0 || line[0] == '[')
            break;
        const char *value = nullptr;
        if (const int port = port_key(line, &value)) {
            char device[COM_TEXT_SIZE];
            path_of(value, device, sizeof device);
            SetComSetting(port, device);
        }
    }
}

// One line of the text: where it starts, where its end (LF, CR LF, lone CR)
// starts, and where the next line starts.
struct IniLine {
    long start, end, next;
};

static IniLine line_at(const char *text, long length, long at)
{
    IniLine l{at, at, at};
    while (l.end < length && text[l.end] != '\n' && text[l.end] != '\r')
        l.end++;
    l.next = l.end;
    if (l.next < length && text[l.next] == '\r')
        l.next++;
    if (l.next < length && text[l.next] == '\n' && (l.next == l.end || text[l.end] == '\r'))
        l.next++;
    return l;
}

long ini_set_port(const char *text, long length, int port, const char *device, char *out, long size)
{
    // The file's own line end: that of its first line, LF when it has none.
    std::string eol = "\n";
    for (long at = 0; at < length;) {
        const IniLine l = line_at(text, length, at);
        if (l.next > l.end) {
            eol.assign(text + l.end, text + l.next);
            break;
        }
        at = l.next;
    }
    char key[8];
    Fmt(key, sizeof key, "com%d", port);
    const std::string wanted = device && device[0] ? key + std::string("=") + device + eol : "";

    std::string result;
    bool in_section = false, section_seen = false, placed = false;
    size_t top = std::string::npos;  // where the section's first line goes
    for (long at = 0; at < length;) {
        const IniLine l = line_at(text, length, at);
        // The line as the reader takes it: after a byte-order mark, at most
        // PATH_SIZE - 1 bytes.
        const long from = at == 0 && length >= 3 && std::string(text, 3) == "\xef\xbb\xbf" ? 3 : l.start;
        const std::string line(text + from, text + std::min<long>(l.end, from + PATH_SIZE - 1));
        if (in_section && line[0] == '[')
            in_section = false;
        const char *value = nullptr;
        if (in_section && port_key(line.c_str(), &value) == port) {
            result += placed ? "" : wanted;  // the first one says the device, the rest go
            placed = true;
        } else {
            result.append(text + l.start, text + l.next);
        }
        if (!section_seen && CompareBytes(line.c_str(), 0, SECTION, 0, StringLength(SECTION), 0) == 0) {
            section_seen = in_section = true;
            if (l.next == l.end && !wanted.empty())
                result += eol;  // the header ended the file
            top = result.size();
        }
        at = l.next;
    }
    if (!placed && top != std::string::npos)
        result.insert(top, wanted);
    if (!section_seen && !wanted.empty()) {
        if (length > 0 && text[length - 1] != '\n' && text[length - 1] != '\r')
            result += eol;
        result += SECTION + eol + wanted;
    }
    if ((long)result.size() > size)
        return -1;
    std::copy(result.begin(), result.end(), out);
    return (long)result.size();
}

int ini_save_port(int port, const char *device)
{
    static char old_text[SETTINGS_LIMIT + 1], new_text[SETTINGS_LIMIT + 2 * PATH_SIZE];
    if (!settings_path[0])
        return -1;
    long length = ReadFileBytes(settings_path, old_text, SETTINGS_LIMIT);
    const bool exists = length >= 0;
    if (length > SETTINGS_LIMIT)
        return -1;  // more than was read: rewriting it would lose the rest
    if (!exists)
        length = 0;
    const long made = ini_set_port(old_text, length, port, device, new_text, sizeof new_text);
    if (made < 0)
        return -1;
    if (exists && std::string(old_text, length) == std::string(new_text, made))
        return 0;  // nothing changes
    if (!exists && made == 0)
        return 0;  // no file is needed
    if (!exists) {
        char folder[PATH_SIZE];
        Fmt(folder, sizeof folder, "%s", settings_path);
        int cut = StringLength(folder);
        while (cut > 0 && folder[cut - 1] != '/')
            cut--;
        folder[cut > 1 ? cut - 1 : cut] = 0;
        if (folder[0] && MakeFolders(folder) != 0)
            return -1;
    }
    return WriteFileAtomically(settings_path, new_text, made);
}
