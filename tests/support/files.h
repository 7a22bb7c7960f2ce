// Test support: a whole file read or written, as the suites that feed
// t483ctl plans and records, and read back what it wrote, need them.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The file's bytes, or none when it cannot be read.
inline QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Writes `bytes` as the whole file; false when not all of them were written.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}
