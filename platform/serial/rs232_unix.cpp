// RS-232 ports on POSIX termios. Each of the ports 1 to 8 is one file
// descriptor opened non-blocking; reads and writes wait with poll against a
// single deadline, so no call ever blocks longer than the port's timeout.
#include "platform/serial.h"

#include "platform/clock.h"
#include "platform/deadline.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum { PORT_COUNT = 8 };

struct Port {
    int fd = -1;           // -1 while closed
    double timeout = 10.0; // seconds a read or write may take
    termios found{};       // the device's settings as the open found them
    // How the last read ended: at its deadline (neither the terminator nor
    // its count having come), and when (monotonic ns; the open's time
    // before any read).
    bool timed_out = false;
    long long read_end = 0;
};

Port ports[PORT_COUNT + 1];  // index 1 to 8
// Device names in full, however long: a name cut short may name another
// device.
std::string device_names[PORT_COUNT + 1];
std::string settings[PORT_COUNT + 1];  // from the settings file, "" none
std::string defaults[PORT_COUNT + 1];

// The failed open that GetRS232ErrorString describes.
int failed_code = 0;
int failed_port = 0;
std::string failed_device;
char failed_reason[128];
std::string error_text;

bool valid_port(int port) { return port >= 1 && port <= PORT_COUNT; }

Port *open_port(int port)
{
    if (!valid_port(port) || ports[port].fd < 0)
        return nullptr;
    return &ports[port];
}

struct Baud {
    long rate;
    speed_t code;
};
const Baud baud_rates[] = {
    {110, B110},     {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},
    {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200},
};

const tcflag_t data_bits[] = {CS5, CS6, CS7, CS8};  // for 5 to 8 data bits

// Waits until fd is ready for `events` or the deadline passes. 1 ready,
// 0 deadline, RS232_IO when the device hung up or failed.
int wait_ready(int fd, short events, Deadline deadline)
{
    for (;;) {
        if (deadline.passed())
            return 0;
        const timespec left = deadline.left_timespec();
        pollfd p = {fd, events, 0};
        int r = ppoll(&p, 1, &left, nullptr);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return RS232_IO;
        }
        if (r == 0)
            return 0;
        if (p.revents & events)
            return 1;
        return RS232_IO;  // POLLHUP, POLLERR or POLLNVAL without data
    }
}

// The system's own words for errno, in English whatever the locale, with a
// lower-case first letter so that it reads well after a colon.
void describe_errno(int err, char *out, size_t size)
{
    const char *text = strerrordesc_np(err);
    snprintf(out, size, "%s", text ? text : "unknown error");
    if (out[0] >= 'A' && out[0] <= 'Z' && !(out[1] >= 'A' && out[1] <= 'Z'))
        out[0] = (char)(out[0] - 'A' + 'a');
}

int fail_open(int port, const char *device, int code, int err)
{
    failed_code = code;
    failed_port = port;
    failed_device = device;
    switch (code) {
    case RS232_NO_DEVICE: snprintf(failed_reason, sizeof failed_reason, "no such device"); break;
    case RS232_ACCESS:
        // Serial ports belong to the group dialout; the fix goes with the
        // reason, as the operator sees nothing else.
        snprintf(failed_reason, sizeof failed_reason,
                 "permission denied; the user must be in the dialout group "
                 "(sudo adduser $USER dialout, then log in again)");
        break;
    case RS232_BUSY: snprintf(failed_reason, sizeof failed_reason, "in use by another program"); break;
    case RS232_NOT_SERIAL: snprintf(failed_reason, sizeof failed_reason, "not a serial port"); break;
    case RS232_BAD_SETTING:
        snprintf(failed_reason, sizeof failed_reason, "the device refused the line settings");
        break;
    default: describe_errno(err, failed_reason, sizeof failed_reason); break;
    }
    return code;
}

int open_error_code(int err)
{
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:  // a serial device node with no port behind it
        return RS232_NO_DEVICE;
    case EACCES:
    case EPERM:
    case EROFS:
        return RS232_ACCESS;
    case EBUSY:
    case EWOULDBLOCK:
        return RS232_BUSY;
    case ENOTTY:
    case EINVAL:
    case EISDIR:
    case ENOTDIR:
        return RS232_NOT_SERIAL;
    default:
        return RS232_OPEN_FAILED;
    }
}

// Sets the line on the device whose settings `t` holds as read at open.
int configure(int fd, termios t, long baudRate, int parity, int dataBits, int stopBits)
{
    speed_t speed = 0;
    bool found = false;
    for (const Baud &b : baud_rates)
        if (b.rate == baudRate) {
            speed = b.code;
            found = true;
        }
    if (!found || parity < 0 || parity > 2 || dataBits < 5 || dataBits > 8 || stopBits < 1 ||
        stopBits > 2)
        return RS232_BAD_SETTING;

    // Raw: no echo, no line editing, no CR/LF translation, no flow control.
    cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | data_bits[dataBits - 5];
    if (parity != 0) {
        t.c_cflag |= PARENB;
        t.c_iflag |= INPCK;
        if (parity == 1)
            t.c_cflag |= PARODD;
    }
    if (stopBits == 2)
        t.c_cflag |= CSTOPB;
    // VMIN 1: with no byte waiting a read says EAGAIN, so that a read of 0
    // bytes can only mean the line hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &t) != 0)
        return RS232_BAD_SETTING;
    return 0;
}

}  // namespace

// T483_COM<n> when it is set and not empty, else null.
static const char *from_environment(int port)
{
    char var[16];
    snprintf(var, sizeof var, "T483_COM%d", port);
    const char *named = getenv(var);
    return named && named[0] ? named : nullptr;
}

const char *ComDefaultDevice(int port)
{
    if (!valid_port(port))
        return "";
    defaults[port] = "/dev/ttyS" + std::to_string(port - 1);
    return defaults[port].c_str();
}

int ComDeviceSource(int port)
{
    if (!valid_port(port))
        return -1;
    if (from_environment(port))
        return COM_FROM_ENVIRONMENT;
    return settings[port].empty() ? COM_DEFAULT : COM_FROM_SETTINGS;
}

const char *ComDeviceName(int port)
{
    if (!valid_port(port))
        return "";
    const char *named = from_environment(port);
    if (!named)
        named = settings[port].empty() ? ComDefaultDevice(port) : settings[port].c_str();
    device_names[port] = named;
    return device_names[port].c_str();
}

int SetComSetting(int port, const char *device)
{
    if (!valid_port(port))
        return RS232_BAD_PORT;
    settings[port] = device ? device : "";
    return 0;
}

const char *ComSetting(int port)
{
    return valid_port(port) ? settings[port].c_str() : "";
}

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize)
{
    // The kernel keeps its own queues; their sizes only need to be sane.
    (void)inputQueueSize;
    (void)outputQueueSize;
    if (!valid_port(port))
        return fail_open(port, "", RS232_BAD_PORT, 0);
    const std::string device = deviceName && deviceName[0] ? deviceName : ComDeviceName(port);
    if (ports[port].fd >= 0)  // opening anew what is still open
        CloseCom(port);

    // A name longer than the system takes fails here (ENAMETOOLONG), and
    // is reported with the system's words.
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        return fail_open(port, device.c_str(), open_error_code(err), err);
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        int err = errno;
        close(fd);
        return fail_open(port, device.c_str(), RS232_NOT_SERIAL, err);
    }
    // An advisory lock that every user, root included, respects; a second
    // program on the same port would steal half of every reply.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        return fail_open(port, device.c_str(), err == EWOULDBLOCK ? RS232_BUSY : RS232_OPEN_FAILED, err);
    }
    int r = configure(fd, t, baudRate, parity, dataBits, stopBits);
    if (r != 0) {
        close(fd);
        return fail_open(port, device.c_str(), r, 0);
    }
    tcflush(fd, TCIOFLUSH);
    ports[port].fd = fd;
    ports[port].timeout = 10.0;
    ports[port].found = t;
    ports[port].timed_out = false;
    ports[port].read_end = MonotonicNs();
    failed_code = 0;
    return 0;
}

const char *GetRS232ErrorString(int errorCode)
{
    if (errorCode == failed_code && failed_code != 0 && failed_code != RS232_BAD_PORT) {
        error_text = "Cannot open COM" + std::to_string(failed_port) + " (" + failed_device +
                     "): " + failed_reason;
        return error_text.c_str();
    }
    switch (errorCode) {
    case 0: return "No error";
    case RS232_NO_DEVICE: return "No such device";
    case RS232_ACCESS: return "Permission denied";
    case RS232_BUSY: return "The port is in use by another program";
    case RS232_NOT_SERIAL: return "The device is not a serial port";
    case RS232_BAD_PORT: return "Port number outside 1 to 8";
    case RS232_NOT_OPEN: return "The port is not open";
    case RS232_BAD_SETTING: return "The device refused a line setting";
    case RS232_IO: return "Read or write failed: the device is gone or hung up";
    case RS232_TIMEOUT: return "A write could not be completed in time";
    case RS232_OPEN_FAILED: return "The port could not be opened";
    case RS232_CUT_SHORT: return "A reply was cut short: its time ran out before its end came";
    default: return "Unknown serial port error";
    }
}

int SetCTSMode(int port, int mode)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    termios t;
    if (tcgetattr(p->fd, &t) != 0)
        return RS232_IO;
    if (mode)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    return tcsetattr(p->fd, TCSANOW, &t) == 0 ? 0 : RS232_BAD_SETTING;
}

int SetXMode(int port, int mode)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    termios t;
    if (tcgetattr(p->fd, &t) != 0)
        return RS232_IO;
    if (mode) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    } else {
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
    }
    return tcsetattr(p->fd, TCSANOW, &t) == 0 ? 0 : RS232_BAD_SETTING;
}

// A pseudo-terminal has no modem lines, so the ioctl fails there; the port
// stays usable and the caller gets RS232_BAD_SETTING.
int ComSetEscape(int port, int escapeCode)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    int bits;
    unsigned long request;
    switch (escapeCode) {
    case SETRTS: bits = TIOCM_RTS; request = TIOCMBIS; break;
    case CLRRTS: bits = TIOCM_RTS; request = TIOCMBIC; break;
    case SETDTR: bits = TIOCM_DTR; request = TIOCMBIS; break;
    case CLRDTR: bits = TIOCM_DTR; request = TIOCMBIC; break;
    default: return RS232_BAD_SETTING;
    }
    return ioctl(p->fd, request, &bits) == 0 ? 0 : RS232_BAD_SETTING;
}

int SetComTime(int port, double timeoutSeconds)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    if (!(timeoutSeconds >= 0.0) || timeoutSeconds > 3600.0)
        return RS232_BAD_SETTING;
    p->timeout = timeoutSeconds;
    return 0;
}

int FlushInQ(int port)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    return tcflush(p->fd, TCIFLUSH) == 0 ? 0 : RS232_IO;
}

int ComWrtByte(int port, int byte)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    unsigned char c = (unsigned char)byte;
    const Deadline deadline = Deadline::in_seconds(p->timeout);
    for (;;) {
        ssize_t n = write(p->fd, &c, 1);
        if (n == 1)
            return 1;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return RS232_IO;
        int r = wait_ready(p->fd, POLLOUT, deadline);
        if (r == 0)
            return RS232_TIMEOUT;
        if (r < 0)
            return r;
    }
}

// Byte by byte, so that whatever follows the terminator or the count stays
// in the system's queue for the next read, as a UART's FIFO would keep it.
int ComRdTerm(int port, char *buffer, int count, int terminationByte)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    auto ended = [p](int result, bool timed_out) {
        p->timed_out = timed_out;
        p->read_end = MonotonicNs();
        return result;
    };
    const Deadline deadline = Deadline::in_seconds(p->timeout);
    int stored = 0;
    while (stored < count) {
        unsigned char c;
        ssize_t n = read(p->fd, &c, 1);
        if (n == 1) {
            if (c == (unsigned char)terminationByte)
                return ended(stored, false);
            buffer[stored++] = (char)c;
            continue;
        }
        if (n == 0)
            return ended(RS232_IO, false);  // end of file: the other end hung up
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return ended(RS232_IO, false);
        int r = wait_ready(p->fd, POLLIN, deadline);
        if (r == 0)
            return ended(stored, true);  // deadline: what has arrived so far
        if (r < 0)
            return ended(r, false);
    }
    return ended(stored, false);
}

int ComRdTimedOut(int port)
{
    Port *p = open_port(port);
    return p && p->timed_out ? 1 : 0;
}

namespace {

// Reads and drops whatever waits on fd: 1 when there was something, 0 when
// nothing, RS232_IO when the device failed or hung up.
int discard_input(int fd)
{
    int found = 0;
    for (;;) {
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            found = 1;
            continue;
        }
        if (n == 0)
            return RS232_IO;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? found : RS232_IO;
    }
}

}  // namespace

int ComDrainQuiet(int port, double startSeconds, double quietSeconds, double limitSeconds)
{
    Port *p = open_port(port);
    if (!p)
        return RS232_NOT_OPEN;
    const Deadline limit = Deadline::in_seconds(limitSeconds);
    // After a read that ran out of time (having taken all there was),
    // whatever waits now came since it ended. Until something comes, the
    // line is quiet once startSeconds have passed since then.
    Deadline quiet = {p->read_end + (long long)(startSeconds * 1e9)};
    int found = 0;
    for (;;) {
        int r = discard_input(p->fd);
        if (r < 0)
            return r;
        if (r > 0) {
            found = 1;
            quiet = Deadline::in_seconds(quietSeconds);
        }
        if (limit.passed())
            return found;
        r = wait_ready(p->fd, POLLIN, {std::min(quiet.at_ns, limit.at_ns)});
        if (r < 0)
            return r;
        if (r == 0)
            return found;
    }
}

int CloseCom(int port)
{
    Port *p = open_port(port);
    if (!p)
        return valid_port(port) ? RS232_NOT_OPEN : RS232_BAD_PORT;
    // Whatever is still queued for output is dropped rather than waited for:
    // a dead device must not hold up the close. The device gets back the
    // settings it had (a terminal pointed at by mistake is left usable).
    tcflush(p->fd, TCOFLUSH);
    tcsetattr(p->fd, TCSANOW, &p->found);
    int r = close(p->fd);
    p->fd = -1;
    return r == 0 ? 0 : RS232_IO;
}
