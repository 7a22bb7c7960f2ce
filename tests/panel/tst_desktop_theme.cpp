// The panel on the desktop as users have it: Debian's GTK platform theme
// (gtk3) with Adwaita's dark variant. The theme starts GTK, which needs an X
// display, so the test brings up an Xvfb of its own before the application
// and shows the panel there through xcb; what the X server holds of the
// window must show the labels dark on the panel's grey. Where the theme
// cannot be had (not installed, no Xvfb, or it did not take over the
// desktop's palette) the test says so and skips.
#include <QtTest>

#include "panel_session.h"

#include <QLabel>
#include <QLibraryInfo>
#include <QScreen>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString notHere;  // why the theme cannot be tried here; empty when it can
pid_t xvfb = -1;

// Xvfb on a display it picks (written on descriptor 3); the display's
// number, or empty when it did not start.
QByteArray startXvfb()
{
    const QByteArray path = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("Xvfb")));
    int fds[2];
    if (path.isEmpty() || pipe2(fds, O_CLOEXEC) != 0)
        return {};
    xvfb = fork();
    if (xvfb == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (dup2(fds[1], 3) == 3)
            execl(path.constData(), "Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                  static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    QByteArray number;
    pollfd p{fds[0], POLLIN, 0};
    char buf[32];
    ssize_t n = 1;
    while (xvfb > 0 && !number.contains('\n') && n > 0 && poll(&p, 1, slack(10000)) == 1)
        if ((n = read(fds[0], buf, sizeof buf)) > 0)
            number.append(buf, int(n));
    close(fds[0]);
    return number.contains('\n') ? number.trimmed() : QByteArray();
}

// The darkest grey level inside `r` of `img`.
int darkest(const QImage &img, QRect r)
{
    int least = 255;
    for (int y = r.top(); y <= r.bottom(); y++)
        for (int x = r.left(); x <= r.right(); x++)
            least = std::min(least, qGray(img.pixel(x, y)));
    return least;
}

} // namespace

class DesktopThemeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!notHere.isEmpty())
            QSKIP(qPrintable(notHere));
        if (QApplication::palette().color(QPalette::WindowText).lightness() < 128)
            QSKIP("the gtk3 platform theme did not load: the desktop's palette is not Adwaita's dark one");
    }

    // Every label as the X server shows it: the panel's grey at its corner,
    // its text dark (black, or the dimmed grey for the dimmed controls').
    void labelsStayDarkOnThePanel()
    {
        PanelSession s;
        QVERIFY(s.start("[t483]\nlanguage=3\n"));
        const QList<QLabel *> labels = s.window->findChildren<QLabel *>();
        QVERIFY(labels.size() >= 10);
        QString wrong;
        auto looksRight = [&] {
            const QImage shot = s.window->screen()->grabWindow(s.window->winId()).toImage();
            wrong.clear();
            for (QLabel *l : labels) {
                const QRect r = l->geometry();
                const int least = darkest(shot, r);
                if (shot.pixelColor(r.topLeft()) != QColor(0xC0, 0xC0, 0xC0) || least >= (l->isEnabled() ? 60 : 128))
                    wrong += QStringLiteral(" %1 (%2, darkest %3)")
                                 .arg(l->text(), shot.pixelColor(r.topLeft()).name())
                                 .arg(least);
            }
            return wrong.isEmpty();
        };
        // Until the window's first paint has reached the server.
        QTRY_VERIFY2_WITH_TIMEOUT(looksRight(), qPrintable(wrong), slack(5000));
    }
};

int main(int argc, char **argv)
{
    const QString plugin = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platformthemes/libqgtk3.so";
    QByteArray display;
    if (!QFile::exists(plugin))
        notHere = "the GTK platform theme is not installed (no " + plugin + "; Debian's qt6-gtk-platformtheme)";
    else if ((display = startXvfb()).isEmpty())
        notHere = QStringLiteral("no X display for the GTK theme: Xvfb is not installed or did not start");
    if (notHere.isEmpty()) {
        qputenv("DISPLAY", ":" + display);
        qunsetenv("WAYLAND_DISPLAY");
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("QT_QPA_PLATFORMTHEME", "gtk3");
        qputenv("GTK_THEME", "Adwaita:dark");
    }
    int status;
    {
        QApplication app(argc, argv);
        DesktopThemeTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
    }
    return status;
}

#include "tst_desktop_theme.moc"
