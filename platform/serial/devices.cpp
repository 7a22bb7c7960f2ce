// The serial devices present, from Qt SerialPort's enumeration (udev, or
// sysfs where udev is absent: USB and ACM adapters with their product, maker,
// serial number and VID:PID, and the ttyS ports with a UART behind them),
// each reached where possible by its stable link in /dev/serial/by-id, which
// names the same adapter whichever ttyUSB number it was given when plugged in.
#include "platform/serial.h"

#include <QDir>
#include <QSerialPortInfo>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// ASCII, with anything else shown as '?'.
void copy_ascii(char *out, const QString &text)
{
    QByteArray bytes;
    for (QChar c : text)
        bytes += c.unicode() >= 0x20 && c.unicode() < 0x7F ? char(c.unicode()) : '?';
    std::snprintf(out, COM_TEXT_SIZE, "%s", bytes.constData());
}

// What the enumeration knows of a port: product, maker, serial number, USB
// VID:PID, each where known, comma-separated.
QString identity(const QSerialPortInfo &info)
{
    QStringList parts;
    if (!info.description().isEmpty())
        parts << info.description();
    if (!info.manufacturer().isEmpty())
        parts << info.manufacturer();
    if (!info.serialNumber().isEmpty())
        parts << QStringLiteral("serial ") + info.serialNumber();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier())
        parts << QStringLiteral("USB %1:%2")
                     .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                     .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
    return parts.join(QStringLiteral(", "));
}

// The device a path finally names, "" when it names no character device.
QString device_behind(const QString &path)
{
    char real[PATH_MAX];
    struct stat st;
    if (!realpath(QFile::encodeName(path).constData(), real) || stat(real, &st) != 0 || !S_ISCHR(st.st_mode))
        return QString();
    return QFile::decodeName(real);
}

// USB adapters first, then modems (ACM), then the UARTs, then anything else.
int rank(const QSerialPortInfo &info)
{
    static const char *const kinds[] = {"ttyUSB", "ttyACM", "ttyS"};
    for (int k = 0; k < 3; k++)
        if (info.portName().startsWith(QLatin1String(kinds[k])))
            return k;
    return 3;
}

} // namespace

int ListComDevices(ComDevice *devices, int max)
{
    if (!devices || max <= 0)
        return 0;
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    std::stable_sort(ports.begin(), ports.end(),
                     [](const QSerialPortInfo &a, const QSerialPortInfo &b) { return rank(a) < rank(b); });
    QStringList reached;  // the devices already listed, by their real path
    int count = 0;
    auto add = [&](const QString &device, const QString &description) {
        if (count < max) {
            copy_ascii(devices[count].device, device);
            copy_ascii(devices[count].description, description);
            count++;
        }
    };

    const char *byId = std::getenv("T483_BY_ID_DIR");
    const QDir links(QFile::decodeName(byId && byId[0] ? byId : "/dev/serial/by-id"));
    for (const QString &name : links.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString link = links.filePath(name);
        const QString target = device_behind(link);
        if (target.isEmpty() || reached.contains(target))
            continue;
        reached << target;
        QString description = target;
        for (const QSerialPortInfo &info : ports)
            if (device_behind(info.systemLocation()) == target && !identity(info).isEmpty())
                description += QStringLiteral(", ") + identity(info);
        add(link, description);
    }
    for (const QSerialPortInfo &info : ports) {
        const QString target = device_behind(info.systemLocation());
        if (target.isEmpty() || reached.contains(target))
            continue;
        reached << target;
        add(info.systemLocation(), identity(info));
    }
    return count;
}
