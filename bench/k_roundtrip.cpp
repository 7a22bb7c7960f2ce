// Round trip of "K" and a 4-digit reply through the program's own link code
// against t483-sim: sends K, reads the reply, and prints the median, fastest
// and slowest times in ms beside the wire time of the 7 bytes at 1200 baud.
//
//   t483-bench-k SIM [--pace] [COUNT]
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "app/state.h"
#include "link/link.h"
#include "platform/clock.h"


int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s SIM [--pace] [COUNT]\n", argv[0]);
        return 2;
    }
    bool pace = false;
    int count = 100;
    for (int k = 2; k < argc; k++) {
        if (strcmp(argv[k], "--pace") == 0)
            pace = true;
        else
            count = std::max(1, atoi(argv[k]));
    }

    int out[2];
    if (pipe(out) != 0)
        return 1;
    pid_t sim = fork();
    if (sim == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        // --hex: the same log as the tests', so the runs stay comparable.
        if (pace)
            execl(argv[1], argv[1], "--hex", "--front", "4072", "--pace", (char *)nullptr);
        else
            execl(argv[1], argv[1], "--hex", "--front", "4072", (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE *lines = fdopen(out[0], "r");
    char device[256] = "";
    if (!lines || !fgets(device, sizeof device, lines)) {
        fprintf(stderr, "no device from %s\n", argv[1]);
        return 1;
    }
    device[strcspn(device, "\n")] = 0;
    // Keep draining the simulator's log so that it never blocks on it.
    if (fork() == 0) {
        char buf[4096];
        while (fread(buf, 1, sizeof buf, lines) > 0) {
        }
        _exit(0);
    }
    fclose(lines);

    setenv("T483_COM1", device, 1);
    com = 1;
    if (link_open(com) != 0) {
        fprintf(stderr, "cannot open %s\n", device);
        return 1;
    }
    static double times[100000];
    count = std::min(count, 100000);
    int bad = 0;
    for (int k = 0; k < count + 3; k++) {  // three to warm up
        double t0 = MonotonicMs();
        sendstring("K");
        link_read();
        double t = MonotonicMs() - t0;
        if (i != 4 || strcmp(radek, "4072") != 0)
            bad++;
        if (k >= 3)
            times[k - 3] = t;
    }
    link_close();
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);

    std::sort(times, times + count);
    const double wire = 7 * 10 * 1000.0 / 1200;
    printf("%-8s %6d %9.2f %9.2f %9.2f %9.2f %5d\n", pace ? "paced" : "unpaced", count,
           times[count / 2], times[0], times[count - 1], pace ? wire : 0.0, bad);
    return bad ? 1 : 0;
}
