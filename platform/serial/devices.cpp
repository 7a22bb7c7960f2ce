// The serial devices present, read where udev keeps them, without linking
// udev or Qt SerialPort (which would load both with the program, though the
// list is wanted only when the COM selector's menu opens):
//   - the devices: the tty class in sysfs, in the order of their sysfs
//     paths. Kept are those with a parent device (USB and ACM adapters, the
//     UARTs; a ttyS port of the 8250 driver only when a UART answers behind
//     it) and, with none, Bluetooth rfcomm, tty0tty's tnt and gadget ttyGS
//     ports; not the virtual consoles and pseudo-terminals;
//   - what each is: product, maker and serial number, VID:PID, from udev's
//     database (/run/udev/data; nothing where udev does not run);
//   - how to reach it: by its stable link in /dev/serial/by-id where there is
//     one, which names the same adapter whichever ttyUSB number it was given
//     when plugged in.
#include "platform/serial.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A tty of the machine's serial kind.
struct Port {
    std::string syspath;  // its folder in sysfs, symbolic links resolved
    std::string name;     // ttyUSB0, ttyS0 ...
    std::string node;     // its device, /dev/...; "" when it has none
    std::string identity; // what it is, comma-separated; "" when unknown
};

// A small file's text, "" when it cannot be read.
std::string file_text(const std::string &path)
{
    std::string text;
    FILE *f = std::fopen(path.c_str(), "re");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

// The value of KEY in lines "<prefix>KEY=value", "" when absent.
std::string keyed_value(const std::string &text, const char *prefix, const char *key)
{
    const std::string wanted = std::string(prefix) + key + "=";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, wanted.size(), wanted) == 0)
            return text.substr(at + wanted.size(), end - at - wanted.size());
        at = end + 1;
    }
    return "";
}

std::string real_path(const std::string &path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : std::string();
}

// The device a path finally names, "" when it names no character device.
std::string device_behind(const std::string &path)
{
    const std::string real = real_path(path);
    struct stat st;
    if (real.empty() || stat(real.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return "";
    return real;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The device above a device in sysfs: the nearest folder up its path that
// is a device (has a uevent file); "" for none, as for a virtual tty.
std::string parent_device(const std::string &syspath)
{
    size_t end = syspath.size();
    for (;;) {
        end = syspath.rfind('/', end - 1);
        if (end == std::string::npos || end <= std::strlen("/sys/"))
            return "";
        const std::string up = syspath.substr(0, end);
        if (up.compare(0, 13, "/sys/devices/") == 0 ? exists(up + "/uevent") : up != "/sys/devices")
            return up;
    }
}

// The name of a device's driver, "" when it has none.
std::string driver_of(const std::string &device)
{
    char target[PATH_MAX];
    const ssize_t n = readlink((device + "/driver").c_str(), target, sizeof target - 1);
    if (n <= 0)
        return "";
    const std::string driver(target, size_t(n));
    return driver.substr(driver.rfind('/') + 1);
}

// A port of the 8250 driver is listed only when a UART answers behind it:
// the driver makes ttyS nodes for ports that may not exist.
bool uart_answers(const std::string &node)
{
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    serial_struct info{};
    const bool found = ioctl(fd, TIOCGSERIAL, &info) != -1 && info.type != PORT_UNKNOWN;
    close(fd);
    return found;
}

// rfcomm0 to rfcomm255: a Bluetooth serial port, which has no parent device.
bool is_rfcomm(const std::string &name)
{
    if (name.compare(0, 6, "rfcomm") != 0 || name.size() == 6 || name.size() > 9)
        return false;
    for (size_t k = 6; k < name.size(); k++)
        if (name[k] < '0' || name[k] > '9')
            return false;
    return std::atoi(name.c_str() + 6) <= 255;
}

// Plain ASCII, anything else shown as '?': one '?' a byte of `bytes`.
std::string ascii_bytes(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes)
        out += c >= 0x20 && c < 0x7F ? char(c) : '?';
    return out;
}

// A path in plain ASCII: one '?' a character other than ASCII (two beyond
// U+FFFF, as UTF-16 counts them), one a byte that is not UTF-8.
std::string ascii_path(const std::string &path)
{
    std::string out;
    for (size_t k = 0; k < path.size();) {
        const unsigned char c = path[k];
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        bool whole = length > 0 && k + length <= path.size();
        for (size_t m = 1; whole && m < length; m++)
            whole = (path[k + m] & 0xC0) == 0x80;
        if (!whole) {
            out += '?';
            k++;
        } else if (length == 1) {
            out += c >= 0x20 && c < 0x7F ? char(c) : '?';
            k++;
        } else {
            out += length == 4 ? "??" : "?";
            k += length;
        }
    }
    return out;
}

// A 16-bit hexadecimal identifier from udev's database ("0403"); false when
// there is none.
bool hex_id(const std::string &text, unsigned *value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 16);
    if (errno != 0 || *end != 0 || v < INT_MIN || v > INT_MAX)
        return false;
    *value = unsigned(v) & 0xFFFF;
    return true;
}

// What udev's database says of a device: product, maker, serial number,
// USB VID:PID, each where known, comma-separated.
std::string identity(const std::string &uevent)
{
    const std::string major = keyed_value(uevent, "", "MAJOR"), minor = keyed_value(uevent, "", "MINOR");
    if (major.empty() || minor.empty())
        return "";
    const std::string db = file_text("/run/udev/data/c" + major + ":" + minor);
    auto spaced = [](std::string s) {
        std::replace(s.begin(), s.end(), '_', ' ');
        return s;
    };
    std::vector<std::string> parts;
    const std::string model = spaced(keyed_value(db, "E:", "ID_MODEL"));
    const std::string vendor = spaced(keyed_value(db, "E:", "ID_VENDOR"));
    const std::string serial = keyed_value(db, "E:", "ID_SERIAL_SHORT");
    if (!model.empty())
        parts.push_back(ascii_bytes(model));
    if (!vendor.empty())
        parts.push_back(ascii_bytes(vendor));
    if (!serial.empty())
        parts.push_back("serial " + ascii_bytes(serial));
    unsigned vid, pid;
    if (hex_id(keyed_value(db, "E:", "ID_VENDOR_ID"), &vid) && hex_id(keyed_value(db, "E:", "ID_MODEL_ID"), &pid)) {
        char usb[16];
        std::snprintf(usb, sizeof usb, "USB %04x:%04x", vid, pid);
        parts.push_back(usb);
    }
    std::string joined;
    for (const std::string &p : parts)
        joined += (joined.empty() ? "" : ", ") + p;
    return joined;
}

// The ttys of the machine's serial kind, in the order of their sysfs paths.
std::vector<Port> serial_ttys()
{
    std::vector<std::string> paths;
    if (DIR *dir = opendir("/sys/class/tty")) {
        while (dirent *e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            const std::string real = real_path(std::string("/sys/class/tty/") + e->d_name);
            if (!real.empty())
                paths.push_back(real);
        }
        closedir(dir);
    }
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());

    std::vector<Port> ports;
    for (const std::string &syspath : paths) {
        Port p;
        p.syspath = syspath;
        p.name = syspath.substr(syspath.rfind('/') + 1);
        const std::string uevent = file_text(syspath + "/uevent");
        const std::string devname = keyed_value(uevent, "", "DEVNAME");
        if (!devname.empty())
            p.node = devname[0] == '/' ? devname : "/dev/" + devname;
        const std::string parent = parent_device(syspath);
        if (!parent.empty()) {
            if (driver_of(parent) == "serial8250" && !uart_answers(p.node))
                continue;
            p.identity = identity(uevent);
        } else if (!is_rfcomm(p.name) && p.name.compare(0, 3, "tnt") != 0 && p.name.compare(0, 5, "ttyGS") != 0) {
            continue;
        }
        ports.push_back(p);
    }
    return ports;
}

// USB adapters first, then modems (ACM), then the UARTs, then anything else.
int rank(const Port &port)
{
    static const char *const kinds[] = {"ttyUSB", "ttyACM", "ttyS"};
    for (int k = 0; k < 3; k++)
        if (port.name.compare(0, std::strlen(kinds[k]), kinds[k]) == 0)
            return k;
    return 3;
}

// The names in a folder but its hidden ones, sorted.
std::vector<std::string> names_in(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *e = readdir(dir))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

int ListComDevices(ComDevice *devices, int max)
{
    if (!devices || max <= 0)
        return 0;
    std::vector<Port> ports = serial_ttys();
    std::stable_sort(ports.begin(), ports.end(), [](const Port &a, const Port &b) { return rank(a) < rank(b); });
    std::vector<std::string> reached;  // the devices already listed, by their real path
    int count = 0;
    auto add = [&](const std::string &device, const std::string &description) {
        if (count < max) {
            std::snprintf(devices[count].device, COM_TEXT_SIZE, "%s", device.c_str());
            std::snprintf(devices[count].description, COM_TEXT_SIZE, "%s", description.c_str());
            count++;
        }
    };
    auto listed = [&](const std::string &target) {
        return std::find(reached.begin(), reached.end(), target) != reached.end();
    };

    const char *byId = std::getenv("T483_BY_ID_DIR");
    std::string links = byId && byId[0] ? byId : "/dev/serial/by-id";
    if (links.size() > 1 && links.back() == '/')
        links.pop_back();
    for (const std::string &name : names_in(links)) {
        const std::string link = links + "/" + name;
        const std::string target = device_behind(link);
        if (target.empty() || listed(target))
            continue;
        reached.push_back(target);
        std::string description = ascii_path(target);
        for (const Port &p : ports)
            if (!p.identity.empty() && device_behind(p.node) == target)
                description += ", " + p.identity;
        add(ascii_path(link), description);
    }
    for (const Port &p : ports) {
        const std::string target = device_behind(p.node);
        if (target.empty() || listed(target))
            continue;
        reached.push_back(target);
        add(ascii_bytes(p.node), p.identity);
    }
    return count;
}
