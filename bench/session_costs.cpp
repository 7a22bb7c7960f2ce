// What a session costs the machine, the real program beside its yardsticks,
// all measured in one run and printed as one table:
//   - start-up to the panel shown, and resident memory once shown, beside a
//     bare Qt Widgets window of the panel's size (t483-bench-bare), with and
//     without one label, started the same way: each run times from the fork
//     to the child's "stamp" line (monotonic clock) and reads VmRSS at that
//     moment; runs alternate. The goals: start-up within 1.1x the window
//     with a label (which, like the panel, pays for finding and loading a
//     font), memory within 1.25x the bare window;
//   - CPU used while idle (utime + stime from /proc/PID/stat) in offline
//     mode with Start pressed, and connected to t483-sim paced at 1200 baud;
//     both sessions run side by side;
//   - a silent instrument's read through the program's link code, beside
//     its 0.3 s timeout.
//
//   t483-bench-costs T483 BARE SIM [RUNS] [IDLE_S]     (10 runs, 30 s)
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/state.h"
#include "link/link.h"
#include "platform/clock.h"

namespace {


double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output, read end
    std::string pending;
};

// Starts argv in folder `dir` (none when null) with these extra environment
// entries, its standard output on a pipe and its standard error discarded.
Child spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const char *dir)
{
    Child c;
    int fds[2];
    if (pipe(fds) != 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(fds[1], 1);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, 2);
        close(fds[0]);
        close(fds[1]);
        if (dir && chdir(dir) != 0)
            _exit(126);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    c.out = fds[0];
    return c;
}

// The next line of the child's output, waiting up to timeout_ms; "" when
// none came.
std::string read_line(Child &c, double timeout_ms)
{
    double deadline = MonotonicMs() + timeout_ms;
    for (;;) {
        size_t nl = c.pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = c.pending.substr(0, nl);
            c.pending.erase(0, nl + 1);
            return line;
        }
        double left = deadline - MonotonicMs();
        if (left <= 0)
            return "";
        pollfd p = {c.out, POLLIN, 0};
        if (poll(&p, 1, int(left) + 1) <= 0)
            continue;
        char buf[512];
        ssize_t n = read(c.out, buf, sizeof buf);
        if (n <= 0)
            return "";
        c.pending.append(buf, size_t(n));
    }
}

// Waits for the child to end; its exit status, or -1 when it had to be
// killed or did not end normally.
int finish(Child &c, double timeout_ms)
{
    double deadline = MonotonicMs() + timeout_ms;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid)
            break;
        if (MonotonicMs() > deadline) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &status, 0);
            close(c.out);
            return -1;
        }
        usleep(5000);
    }
    close(c.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Resident memory of a process in MiB.
double rss_mib(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE *f = fopen(path, "r");
    if (!f)
        return 0;
    char line[256];
    double kb = 0;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = atof(line + 6);
    fclose(f);
    return kb / 1024;
}

// CPU time a process has used, user and system, in seconds.
double cpu_seconds(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char *p = strrchr(buf, ')');  // the name may hold spaces
    if (!p)
        return -1;
    // After the name: state is field 3; utime and stime are fields 14, 15.
    unsigned long long utime = 0, stime = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// A folder of its own holding T483.INI, for a program run.
std::string folder_with_ini(const char *ini)
{
    char tmpl[] = "/tmp/t483-bench-XXXXXX";
    if (!mkdtemp(tmpl))
        return "";
    std::string dir = tmpl;
    FILE *f = fopen((dir + "/T483.INI").c_str(), "w");
    if (f) {
        fputs(ini, f);
        fclose(f);
    }
    return dir;
}

void remove_folder(const std::string &dir)
{
    unlink((dir + "/T483.INI").c_str());
    unlink((dir + "/sim.out").c_str());
    rmdir(dir.c_str());
}

// The simulator with its output in a file (so it never stalls on a full
// pipe); its device, "" when it did not start.
std::string start_sim(const char *sim, const std::vector<std::string> &options, const std::string &log,
                      pid_t *pid)
{
    *pid = fork();
    if (*pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int null = open("/dev/null", O_RDWR);
        if (fd < 0 || null < 0)
            _exit(126);
        dup2(fd, 1);
        dup2(null, 0);
        dup2(null, 2);
        // --hex: the log count_lines() reads.
        std::vector<char *> args{const_cast<char *>(sim), const_cast<char *>("--hex")};
        for (const std::string &o : options)
            args.push_back(const_cast<char *>(o.c_str()));
        args.push_back(nullptr);
        execv(sim, args.data());
        _exit(127);
    }
    double deadline = MonotonicMs() + 5000;
    while (MonotonicMs() < deadline) {
        FILE *f = fopen(log.c_str(), "r");
        char line[256] = "";
        bool got = f && fgets(line, sizeof line, f) && strchr(line, '\n');
        if (f)
            fclose(f);
        if (got) {
            *strchr(line, '\n') = 0;
            return line;
        }
        usleep(5000);
    }
    return "";
}

// Lines of the simulator's log that record the command cmd (hex, CR
// included, e.g. "rx 4b 0d").
int count_lines(const std::string &log, const char *line_wanted)
{
    FILE *f = fopen(log.c_str(), "r");
    if (!f)
        return 0;
    char line[256];
    int n = 0;
    while (fgets(line, sizeof line, f))
        n += strncmp(line, line_wanted, strlen(line_wanted)) == 0;
    fclose(f);
    return n;
}

struct Shown {
    double startup_ms = -1;
    double rss = 0;
};

// One start: fork to "stamp", memory then, and a clean end.
Shown start_once(const std::vector<std::string> &argv, const std::vector<std::string> &env, const char *dir)
{
    Shown s;
    double t0 = MonotonicMs();
    Child c = spawn(argv, env, dir);
    if (c.pid < 0)
        return s;
    std::string line = read_line(c, 10000);
    long long ns = 0;
    if (sscanf(line.c_str(), "stamp %lld", &ns) == 1) {
        s.rss = rss_mib(c.pid);
        s.startup_ms = ns / 1e6 - t0;
    }
    if (finish(c, 10000) != 0)
        s.startup_ms = -1;
    return s;
}

const char *verdict(bool ok, const std::vector<double> &measured)
{
    return measured.empty() ? "no figures" : ok ? "met" : "MISSED";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s T483 BARE SIM [RUNS] [IDLE_S]\n", argv[0]);
        return 2;
    }
    // The children start in folders of their own: absolute paths.
    char paths[3][4096];
    for (int k = 0; k < 3; k++)
        if (!realpath(argv[k + 1], paths[k])) {
            fprintf(stderr, "%s: %s\n", argv[k + 1], strerror(errno));
            return 2;
        }
    const char *program = paths[0], *bare = paths[1], *sim = paths[2];
    const int runs = argc > 4 ? std::max(1, atoi(argv[4])) : 10;
    const int idle_s = argc > 5 ? std::max(1, atoi(argv[5])) : 30;
    signal(SIGPIPE, SIG_IGN);
    const std::string offscreen = "QT_QPA_PLATFORM=offscreen";

    // Start-up and memory, alternating, after one unmeasured start of each
    // so that both find their libraries in the page cache.
    std::string dir = folder_with_ini("[t483]\nlanguage=3\n");
    // Each lingers a moment after its stamp, so that its memory is read
    // while it is still there.
    const std::string linger = "200";
    const std::vector<std::string> program_env{offscreen, "T483_SCRIPT=stamp; wait " + linger + "; key Escape"};
    std::vector<double> p_ms, p_rss, b_ms, b_rss, t_ms, t_rss;
    int failed = 0;
    for (int k = -1; k < runs; k++) {
        Shown p = start_once({program}, program_env, dir.c_str());
        Shown b = start_once({bare, linger}, {offscreen}, dir.c_str());
        Shown t = start_once({bare, linger, "T-483"}, {offscreen}, dir.c_str());
        if (p.startup_ms < 0 || b.startup_ms < 0 || t.startup_ms < 0) {
            failed++;
            continue;
        }
        if (k < 0)
            continue;
        p_ms.push_back(p.startup_ms);
        p_rss.push_back(p.rss);
        b_ms.push_back(b.startup_ms);
        b_rss.push_back(b.rss);
        t_ms.push_back(t.startup_ms);
        t_rss.push_back(t.rss);
    }
    remove_folder(dir);

    // Idle CPU, offline and connected side by side; the first second after
    // Start is left out.
    std::vector<double> cpu_offline, cpu_connected;
    std::vector<int> ticks;
    const int idle_rounds = std::max(1, std::min(runs, 3));
    const std::string long_wait = "wait " + std::to_string((idle_s + 3) * 1000);
    for (int k = 0; k < idle_rounds; k++) {
        std::string off_dir = folder_with_ini("[t483]\nlanguage=3\ndemo=1\n");
        std::string con_dir = folder_with_ini("[t483]\nlanguage=3\n");
        const std::string log = con_dir + "/sim.out";
        pid_t sim_pid = -1;
        std::string device = start_sim(sim, {"--pace", "--front", "4072", "--voltage", "2500"}, log, &sim_pid);
        const std::string script = "T483_SCRIPT=click start; stamp; " + long_wait + "; key Escape";
        Child off = spawn({program}, {offscreen, script}, off_dir.c_str());
        Child con = spawn({program}, {offscreen, script, "T483_COM1=" + device}, con_dir.c_str());
        bool started = read_line(off, 10000).rfind("stamp", 0) == 0;
        started = read_line(con, 10000).rfind("stamp", 0) == 0 && started && !device.empty();
        sleep(1);
        const int rx_before = count_lines(log, "rx 4b 0d");
        double t0 = MonotonicMs();
        double off0 = cpu_seconds(off.pid), con0 = cpu_seconds(con.pid);
        sleep(unsigned(idle_s));
        double t1 = MonotonicMs();
        double off1 = cpu_seconds(off.pid), con1 = cpu_seconds(con.pid);
        ticks.push_back(count_lines(log, "rx 4b 0d") - rx_before);
        const bool ended = finish(off, 10000) == 0 && finish(con, 10000) == 0;
        kill(sim_pid, SIGTERM);
        waitpid(sim_pid, nullptr, 0);
        remove_folder(off_dir);
        remove_folder(con_dir);
        if (!started || !ended || off0 < 0 || con0 < 0 || off1 < 0 || con1 < 0) {
            failed++;
            continue;
        }
        const double wall = (t1 - t0) / 1000;
        cpu_offline.push_back(100 * (off1 - off0) / wall);
        cpu_connected.push_back(100 * (con1 - con0) / wall);
    }

    // A silent instrument's read through the link code: K out, nothing back.
    std::vector<double> silent;
    {
        std::string sim_dir = folder_with_ini("");
        const std::string log = sim_dir + "/sim.out";
        pid_t sim_pid = -1;
        std::string device = start_sim(sim, {"--fault", "silent"}, log, &sim_pid);
        setenv("T483_COM1", device.c_str(), 1);
        com = 1;
        if (!device.empty() && link_open(1) == 0) {
            for (int k = 0; k < runs; k++) {
                sendstring("K");
                double t0 = MonotonicMs();
                link_read();
                double t1 = MonotonicMs();
                if (i == 0)
                    silent.push_back(t1 - t0);
            }
            link_close();
        }
        kill(sim_pid, SIGTERM);
        waitpid(sim_pid, nullptr, 0);
        remove_folder(sim_dir);
    }

    const double ps = median(p_ms), bs = median(b_ms), pr = median(p_rss), br = median(b_rss);
    const double co = median(cpu_offline), cc = median(cpu_connected), sr = median(silent);
    printf("%-46s %10s %10s %7s  %-18s %s\n", "what (median)", "t483", "reference", "ratio", "goal", "");
    const double ts = median(t_ms), tr = median(t_rss);
    printf("%-46s %10.1f %10.1f %6.2fx  %-18s %s\n", "start-up to panel shown, ms (ref: one label)", ps, ts,
           ps / ts, "within 1.1x", verdict(ps <= 1.1 * ts, p_ms));
    printf("%-46s %10.1f %10.1f %6.2fx  %-18s %s\n", "resident memory once shown, MiB (ref: bare)", pr, br,
           pr / br, "within 1.25x", verdict(pr <= 1.25 * br, p_rss));
    printf("%-46s %10.1f %10.1f %6.2fx\n", "start-up, ms (ref: bare window, no text)", ps, bs, ps / bs);
    printf("%-46s %10.1f %10.1f %6.2fx\n", "memory, MiB (ref: bare window, one label)", pr, tr, pr / tr);
    printf("%-46s %10.2f %10s %7s  %-18s %s\n", "CPU idle, offline, Start pressed, % of a core", co, "", "",
           "under 0.5 %", verdict(co < 0.5, cpu_offline));
    printf("%-46s %10.2f %10s %7s  %-18s %s\n", "CPU idle, connected at 1200 baud, % of a core", cc, "", "",
           "under 2 %", verdict(cc < 2, cpu_connected));
    printf("%-46s %10.1f %10.1f %+6.1f   %-18s %s\n", "silent instrument's read, ms (ref: timeout)", sr, 300.0,
           sr - 300, "within 10 ms", verdict(sr > 290 && sr < 310, silent));
    printf("(%zu starts of each; %zu idle rounds of %d s, %d K polls in the first; %zu silent reads; %d failed)\n",
           p_ms.size(), cpu_offline.size(), idle_s, ticks.empty() ? 0 : ticks[0], silent.size(), failed);
    return failed ? 1 : 0;
}
