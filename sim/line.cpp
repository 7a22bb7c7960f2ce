// The pseudo-terminal and the paced wire on it.
#include "line.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr long long BYTE_NS = 8333333;  // 10 bits at 1200 baud
constexpr long long MS = 1000000;

}  // namespace

// The one pacing routine, for both directions: unpaced, the bytes are through
// at once; paced, each one byte time after the one before, and none before `at`.
void PtyLine::Wire::put(const std::string &text, long long at, bool pace)
{
    for (unsigned char c : text) {
        long long when = at;
        if (pace) {
            when = std::max(at, free_at) + BYTE_NS;
            free_at = when;
        }
        bytes.push_back({when, c});
    }
}

const char *PtyLine::open()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        perror("t483-sim: pseudo-terminal");
        return nullptr;
    }
    const char *name = ptsname(master_);
    // Held open here so that the program may close and reopen its end
    // without the line hanging up.
    slave_ = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
    termios t;
    if (slave_ < 0 || tcgetattr(slave_, &t) != 0) {
        perror("t483-sim: pseudo-terminal device");
        return nullptr;
    }
    // Raw, or the line discipline would echo, and turn CR into LF.
    cfmakeraw(&t);
    cfsetispeed(&t, B1200);
    cfsetospeed(&t, B1200);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return name;
}

void PtyLine::close()
{
    ::close(master_);
    ::close(slave_);
}

void PtyLine::read()
{
    char buf[256];
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0)
        in_.put(std::string(buf, size_t(n)), MonotonicNs(), pace);
}

bool PtyLine::take(long long now, unsigned char &byte, long long &at)
{
    if (in_.bytes.empty() || in_.bytes.front().at > now)
        return false;
    byte = in_.bytes.front().byte;
    at = in_.bytes.front().at;
    in_.bytes.pop_front();
    return true;
}

void PtyLine::put(const std::string &bytes, long long at)
{
    out_.put(bytes, at, pace);
}

void PtyLine::put(const Reply &reply, long long at)
{
    at += reply.late_ms * MS;
    if (!reply.split_at) {
        put(reply.bytes, at);
        return;
    }
    put(reply.bytes.substr(0, *reply.split_at), at);
    put(reply.bytes.substr(*reply.split_at), std::max(at, out_.free_at) + reply.split_ms * MS);
}

// All that is due goes in one write, so that bytes put on the wire together
// (a reply and its repeat, unpaced) reach the program together too.
bool PtyLine::write(long long now)
{
    std::string due;
    for (const Wire::Timed &t : out_.bytes) {
        if (t.at > now)
            break;
        due += char(t.byte);
    }
    if (due.empty())
        return true;
    ssize_t n = ::write(master_, due.data(), due.size());
    if (n < 0)
        return errno == EAGAIN;
    out_.bytes.erase(out_.bytes.begin(), out_.bytes.begin() + n);
    return true;
}

long long PtyLine::next_due() const
{
    long long next = -1;
    if (!in_.bytes.empty())
        next = in_.bytes.front().at;
    if (!out_.bytes.empty() && (next < 0 || out_.bytes.front().at < next))
        next = out_.bytes.front().at;
    return next;
}

PtyLine::Hangup PtyLine::hang_up_when_read(long long now)
{
    if (!out_.bytes.empty())
        return Hangup::not_yet;
    // The pseudo-terminal passes bytes on a moment after they are written,
    // so an empty wire counts only after 50 ms.
    if (!hangup_from_)
        hangup_from_ = now;
    int queued = 0;
    bool settled = now >= hangup_from_ + 50 * MS;
    if ((settled && (ioctl(slave_, FIONREAD, &queued) != 0 || queued == 0)) ||
        now >= hangup_from_ + 1000 * MS)
        return Hangup::now;
    return Hangup::soon;
}

}  // namespace sim
