// Test support: the t483-sim simulator as a child process.
#include "sim_process.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QtDebug>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A command no caller sends and the instrument does not know ("?" back).
const QByteArray SENTINEL = "#sentinel\r";

// The bytes of an "rx" or "tx" line: "rx 52 30 0d".
QByteArray bytesOf(const QByteArray &line)
{
    QByteArray bytes;
    for (const QByteArray &h : line.mid(2).simplified().split(' '))
        if (!h.isEmpty())
            bytes += char(h.toInt(nullptr, 16));
    return bytes;
}

} // namespace

SimProcess::~SimProcess()
{
    kill();
}

std::unique_ptr<SimProcess> SimProcess::onPort(int port, const QStringList &options)
{
    auto sim = std::make_unique<SimProcess>();
    if (!sim->start(options))
        return nullptr;
    sim->useAsPort(port);
    return sim;
}

bool SimProcess::start(const QStringList &options)
{
    const QString program = qEnvironmentVariable("T483_SIM");
    if (program.isEmpty()) {
        qWarning("T483_SIM is not set");
        return false;
    }
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.setReadChannel(QProcess::StandardOutput);
    // The log in the form read below: rx and tx lines in hex.
    process_.start(program, QStringList{"--hex"} + options);
    if (!process_.waitForStarted(5000)) {
        qWarning() << "cannot start" << program << process_.errorString();
        return false;
    }
    QDeadlineTimer deadline(5000);
    while (!process_.canReadLine()) {
        if (deadline.hasExpired() || !process_.waitForReadyRead(int(deadline.remainingTime()))) {
            qWarning() << "no device from" << program << process_.readAllStandardError();
            return false;
        }
    }
    device_ = QString::fromLocal8Bit(process_.readLine().trimmed());
    return device_.startsWith('/');
}

void SimProcess::useAsPort(int port) const
{
    qputenv(QByteArray("T483_COM") + QByteArray::number(port), device_.toLocal8Bit());
}

// Takes in whatever the simulator has printed, waiting up to timeoutMs for
// the first of it.
void SimProcess::readLines(int timeoutMs)
{
    // Always asks the pipe: what an event loop has already buffered may be
    // followed by lines still in it.
    if (process_.state() == QProcess::Running)
        process_.waitForReadyRead(process_.bytesAvailable() ? 0 : timeoutMs);
    pending_ += process_.readAllStandardOutput();
    int nl;
    while ((nl = pending_.indexOf('\n')) >= 0) {
        const QByteArray line = pending_.left(nl);
        pending_.remove(0, nl + 1);
        // The simulator prints a command's reply right after the command.
        const bool afterSentinel = afterSentinel_;
        afterSentinel_ = false;
        if (line.startsWith("rx")) {
            const QByteArray bytes = bytesOf(line);
            received_ += bytes;
            afterSentinel_ = bytes == SENTINEL;
        } else if (line.startsWith("tx")) {
            if (afterSentinel)
                sentinelReply_ = bytesOf(line);
        } else if (line == "ok") {
            answers_++;
        } else if (line.startsWith("error")) {
            answers_++;
            refusals_++;
            qWarning() << "t483-sim:" << line;
        } else if (line == "hangup") {
            hungUp_ = true;
        }
    }
}

bool SimProcess::command(const QString &line, int timeoutMs)
{
    if (process_.state() != QProcess::Running)
        return false;
    answers_ = refusals_ = 0;
    process_.write(line.toLocal8Bit() + '\n');
    process_.waitForBytesWritten(timeoutMs);
    QDeadlineTimer deadline(timeoutMs);
    while (answers_ == 0 && !deadline.hasExpired() && process_.state() == QProcess::Running)
        readLines(int(deadline.remainingTime()));
    bool ok = answers_ > 0 && refusals_ == 0;
    answers_ = refusals_ = 0;
    return ok;
}

QList<QByteArray> SimProcess::received()
{
    readLines(0);
    return received_;
}

bool SimProcess::waitReceived(int n, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    readLines(0);
    while (received_.size() < n && !deadline.hasExpired() && process_.state() == QProcess::Running)
        readLines(int(qMax<qint64>(1, deadline.remainingTime())));
    readLines(0);
    return received_.size() >= n;
}

bool SimProcess::sentinel(int timeoutMs)
{
    // The simulator holds the device open itself, so this opening and
    // closing leaves the line as it was for whoever else has it open.
    const int fd = ::open(device_.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        qWarning() << "sentinel: cannot open" << device_;
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::write(fd, SENTINEL.constData(), size_t(SENTINEL.size())) != SENTINEL.size())
        return false;
    sentinelReply_.clear();
    QDeadlineTimer deadline(timeoutMs);
    readLines(0);
    while (!received_.contains(SENTINEL)) {
        if (deadline.hasExpired() || process_.state() != QProcess::Running) {
            qWarning("the sentinel never reached the simulator");
            return false;
        }
        readLines(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    received_.removeAt(received_.indexOf(SENTINEL));

    // Whatever the instrument answers to it must not be taken for the
    // reply to a later command. Its "tx" line, if it answers at all, came
    // before the answer to this line, which changes nothing.
    if (!command("send", int(qMax<qint64>(1, deadline.remainingTime()))))
        return false;
    QByteArray got;
    while (!sentinelReply_.isEmpty() && !got.endsWith(sentinelReply_)) {
        pollfd p{fd, POLLIN, 0};
        if (deadline.hasExpired() || ::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime()))) < 0) {
            qWarning("the reply to the sentinel never came");
            return false;
        }
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, n);
    }
    return true;
}

bool SimProcess::waitQueued(int bytes, int timeoutMs)
{
    const int fd = ::open(device_.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // The input queue belongs to the terminal, not to one opening of it.
    QDeadlineTimer deadline(timeoutMs);
    int queued = 0;
    while (ioctl(fd, FIONREAD, &queued) == 0 && queued < bytes && !deadline.hasExpired())
        QThread::msleep(1);
    ::close(fd);
    return queued >= bytes;
}

void SimProcess::clearReceived()
{
    readLines(0);
    received_.clear();
}

bool SimProcess::hungUp()
{
    readLines(0);
    if (!hungUp_ && process_.state() != QProcess::NotRunning)
        process_.waitForFinished(1000);
    readLines(0);
    return hungUp_;
}

void SimProcess::kill()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}
