// The yardstick for the program's start-up and memory: a bare Qt Widgets
// window of the panel's size, started like t483 and reporting "shown" the
// same way as t483 does for the script step "stamp": from the first pass of
// its event loop, the window painted at once, then "stamp NS" (monotonic
// clock) on standard output.
//
//   t483-bench-bare [LINGER_MS] [TEXT]
// Ends LINGER_MS after the stamp (0). With TEXT the window shows it in a
// label: what one line of text costs a window (the fonts found and loaded).
#include "platform/clock.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int linger = argc > 1 ? std::atoi(argv[1]) : 0;
    QWidget window;
    window.resize(768, 315);
    if (argc > 2)
        (new QLabel(QString::fromLocal8Bit(argv[2]), &window))->move(10, 10);
    window.show();
    QTimer::singleShot(0, [linger, &window] {
        window.repaint();
        std::printf("stamp %lld\n", MonotonicNs());
        std::fflush(stdout);
        QTimer::singleShot(linger, [] { QApplication::quit(); });
    });
    return QApplication::exec();
}
