// The user-interface services over the real layout, offscreen: geometry,
// events and their codes, dimming, attributes, pop-ups and the dispatch rule
// that callbacks never overlap.
#include "platform/ui.h"
#include "platform/ui_testing.h"
#include "platform/cp1250.h"
#include "platform/ui/widgets.h"
#include "panel/t483_uir.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyleFactory>
#include <QWheelEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <csignal>
#include <thread>

namespace {

// A time the test allows for what a loaded machine may delay: `ms` times the
// factor T483_TEST_SLACK gives (an integer, 1 when unset).
int slack(int ms)
{
    static const int factor = [] {
        bool ok = false;
        const int f = qEnvironmentVariableIntValue("T483_TEST_SLACK", &ok);
        return ok && f > 0 ? f : 1;
    }();
    return ms * factor;
}

// Milliseconds on the monotonic clock.
double now()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.nsecsElapsed() / 1e6;
}

// Fusion under a desktop theme, whose palette it takes for its own.
class DesktopThemed : public QProxyStyle {
public:
    explicit DesktopThemed(const QPalette &theme) : QProxyStyle(QStringLiteral("Fusion")), theme_(theme) {}
    QPalette standardPalette() const override { return theme_; }

private:
    QPalette theme_;
};

struct Event {
    int control, event, value;
    double start, end;  // when the callback began and returned (now())
};
QList<Event> events;
int blockMs;  // how long the next callbacks take

int record(int panel, int control, int event)
{
    int v = 0;
    GetCtrlVal(panel, control, &v);
    const double start = now();
    if (blockMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(blockMs));
    events.append({control, event, v, start, now()});
    return 0;
}

QList<Event> ticks()
{
    QList<Event> out;
    for (const Event &e : events)
        if (e.control == hl_TIMER && e.event == EVENT_TIMER_TICK)
            out << e;
    return out;
}

// The layout's main panel, as the test reads it for itself.
QJsonObject layoutPanel()
{
    QFile f(QStringLiteral(":/uir/T483.UIR"));
    if (!f.open(QIODevice::ReadOnly))
        qFatal("no T483.UIR resource");
    for (const QJsonValue &p : QJsonDocument::fromJson(f.readAll()).object().value("panels").toArray())
        if (p.toObject().value("number").toInt() == hl)
            return p.toObject();
    qFatal("no main panel in T483.UIR");
}

// A layout rectangle, [top, left, height, width].
QRect rectOf(const QJsonValue &v)
{
    const QJsonArray a = v.toArray();
    return QRect(a[1].toInt(), a[0].toInt(), a[3].toInt(), a[2].toInt());
}

int countOf(int control, int event)
{
    int n = 0;
    for (const Event &e : events)
        n += e.control == control && e.event == event;
    return n;
}

// The callbacks the layout names, recording what reaches them, bound as the
// program binds its own: from a static initialiser.
int cbvypnout(int p, int c, int e, void *, int, int) { return record(p, c, e); }
int cbstart(int p, int c, int e, void *, int, int) { return record(p, c, e); }
int cbkonec(int p, int c, int e, void *, int, int) { return record(p, c, e); }
int cbremote(int p, int c, int e, void *, int, int) { return record(p, c, e); }
int cbr(int p, int c, int e, void *, int, int) { return record(p, c, e); }
int cbodpor(int p, int c, int e, void *, int, int) { return record(p, c, e); }
int cbtimer(int p, int c, int e, void *, int, int) { return record(p, c, e); }

const CallbackBinding testCallbacks[] = {
    {"cbvypnout", cbvypnout}, {"cbstart", cbstart}, {"cbkonec", cbkonec}, {"cbremote", cbremote},
    {"cbr", cbr},             {"cbodpor", cbodpor}, {"cbtimer", cbtimer}, {nullptr, nullptr},
};
const int bound = BindCallbacks(testCallbacks);

} // namespace

class UiTest : public QObject {
    Q_OBJECT
    int panel = 0;
    QWidget *window = nullptr;

    QWidget *part(const char *name)
    {
        QWidget *w = window->findChild<QWidget *>(QString::fromLatin1(name));
        if (!w)
            qWarning("no widget %s", name);
        return w;
    }
    // Events other than ticks.
    QList<Event> actions()
    {
        QList<Event> out;
        for (const Event &e : events)
            if (e.event != EVENT_TIMER_TICK)
                out << e;
        return out;
    }
    // Loads the panel and shows it, Exit taking the close box.
    void open()
    {
        panel = LoadPanel(0, "T483.UIR", hl);
        QVERIFY(panel > 0);
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == "hl")
                window = w;
        QVERIFY(window);
        QCOMPARE(SetPanelAttribute(panel, ATTR_CLOSE_CTRL, hl_konec), 0);
        DisplayPanel(panel);
        QVERIFY(QTest::qWaitForWindowExposed(window, slack(5000)));
    }
    // Asks for a control's context menu with `ask`; once it is up, reads its
    // items and picks item `pick` with the mouse (-1: closes it with Escape).
    // The items seen; none when no menu came up.
    QStringList operateMenu(const std::function<void()> &ask, int pick)
    {
        QStringList seen;
        QElapsedTimer waited;
        waited.start();
        std::function<void()> look = [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu) {
                if (waited.elapsed() < slack(2000))
                    QTimer::singleShot(10, look);
                return;
            }
            for (QAction *a : menu->actions())
                seen << a->text();
            if (pick < 0)
                QTest::keyClick(menu, Qt::Key_Escape);
            else
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(menu->actions()[pick]).center());
        };
        QTimer::singleShot(0, look);
        ask();
        // The look-out stops once its time is up, should no menu have come.
        if (!QTest::qWaitFor([&] {
                return !QApplication::activePopupWidget() && (!seen.isEmpty() || waited.elapsed() >= slack(2000));
            }, slack(5000)))
            qWarning("the menu stayed up");
        return seen;
    }
    void clickArrow(const char *name, bool up)
    {
        QWidget *a = part(name);
        QTest::mouseClick(a, Qt::LeftButton, {}, QPoint(a->width() / 2, up ? 2 : a->height() - 3));
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(bound, 0);
        QVERIFY(InitCVIRTEEx(nullptr, nullptr, nullptr) != 0);
        QVERIFY(InitCVIRTEEx(nullptr, nullptr, nullptr) != 0);  // a repeated call succeeds
    }

    void init()
    {
        events.clear();
        blockMs = 0;
        SetPopupHook(nullptr);
        open();
    }

    void cleanup()
    {
        DiscardAllPanels();
        window = nullptr;
    }

    // The layout's rectangles are [top, left, height, width]; state texts
    // give their top and left.
    void layoutRectanglesRead()
    {
        QCOMPARE(window->size(), QSize(768, 315));
        QCOMPARE(part("vyp")->geometry(), QRect(590, 39, 60, 26));
        QCOMPARE(part("R3.display")->geometry(), QRect(146, 236, 66, 22));
        QCOMPARE(part("com.arrows")->geometry(), QRect(459, 37, 9, 22));
        QCOMPARE(part("LED2")->geometry(), QRect(51, 140, 19, 16));
        QCOMPARE(part("remote.state.On")->pos(), QPoint(343, 32));
        QCOMPARE(rectOf(QJsonArray{39, 590, 26, 60}), QRect(590, 39, 60, 26));  // as the test reads them
    }

    // Every part of every control stands where the layout puts it.
    void geometryFollowsTheLayout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("where");
        for (const QJsonValue &v : layoutPanel().value("controls").toArray()) {
            const QJsonObject c = v.toObject();
            const QString name = c.value("constant").toString();
            const QString kind = c.value("kind").toString();
            const QString body = kind == "ring" ? name + ".box" : kind == "knob" ? name + ".dial" : name;
            for (const auto &[key, widget] : {std::pair{"body", body}, {"display", name + ".display"}, {"arrows", name + ".arrows"}})
                if (c.contains(key))
                    QTest::newRow(qPrintable(widget)) << widget << rectOf(c.value(key));
        }
    }
    void geometryFollowsTheLayout()
    {
        QFETCH(QString, name);
        QFETCH(QRect, where);
        const QJsonObject p = layoutPanel();
        QCOMPARE(window->size(), QSize(p.value("width").toInt(), p.value("height").toInt()));
        QWidget *w = part(name.toLatin1());
        QVERIFY(w);
        QCOMPARE(w->geometry(), where);
    }

    // Labels sit over their layout rectangles (widened about the centre only
    // when the text needs it) and show their whole text; a switch's state
    // texts stand where the layout puts them.
    void labelsAreWholeAndInPlace()
    {
        int labels = 0;
        for (const QJsonValue &v : layoutPanel().value("controls").toArray()) {
            const QJsonObject c = v.toObject();
            const QString name = c.value("constant").toString();
            for (const QJsonValue &t : c.value("stateTexts").toArray()) {
                QWidget *state = part(qPrintable(name + ".state." + t.toObject().value("text").toString()));
                QVERIFY(state);
                QCOMPARE(state->pos(), QPoint(t.toObject().value("left").toInt(), t.toObject().value("top").toInt()));
            }
            if (!c.contains("labelRect"))
                continue;
            labels++;
            const QRect where = rectOf(c.value("labelRect"));
            const QString text = c.value("label").toString();
            auto *l = qobject_cast<QLabel *>(part(qPrintable(name + ".label")));
            QVERIFY2(l, qPrintable(name));
            QCOMPARE(l->text(), text);
            QVERIFY2(l->geometry().contains(where), qPrintable(name));
            QVERIFY2(qAbs(l->geometry().center().x() - where.center().x()) <= 1, qPrintable(name));
            QVERIFY2(l->fontMetrics().horizontalAdvance(text) <= l->width(), qPrintable(name));
            QVERIFY2(l->fontMetrics().height() <= l->height(), qPrintable(name));
            if (l->fontMetrics().horizontalAdvance(text) + 2 <= where.width())
                QCOMPARE(l->geometry(), where);
        }
        QVERIFY(labels > 0);
    }

    void defaultsAtLoad()
    {
        int v = -1;
        GetCtrlVal(panel, hl_com, &v);
        QCOMPARE(v, 1);  // the last of the items 8 .. 1
        for (int id : {hl_R3, hl_R2, hl_R1, hl_R0, hl_LED1, hl_LED2, hl_LED3, hl_LED4, hl_odpor, hl_remote}) {
            GetCtrlVal(panel, id, &v);
            QCOMPARE(v, 0);
        }
        QCOMPARE(window->windowTitle(), QString::fromUtf8("Ovládací panel dekády T-483"));
    }

    // The COM ring offers 8 down to 1; its up arrow goes toward the higher
    // numbers. Each arrow click is one commit; it has no callback.
    void ringStepsThroughItsItems()
    {
        int v = 0;
        for (int k = 0; k < 10; k++)
            clickArrow("com.arrows", true);
        GetCtrlVal(panel, hl_com, &v);
        QCOMPARE(v, 8);
        clickArrow("com.arrows", false);
        GetCtrlVal(panel, hl_com, &v);
        QCOMPARE(v, 7);
        QCOMPARE(actions().size(), 0);
    }

    // Knobs: one commit per arrow click and per key step, one per released
    // drag however far it moves, none at the ends of the range.
    void knobCommits()
    {
        clickArrow("R1.arrows", true);
        clickArrow("R1.arrows", true);
        QCOMPARE(countOf(hl_R1, EVENT_COMMIT), 2);
        QCOMPARE(actions().last().value, 2);

        QWidget *dial = part("R0.dial");
        dial->setFocus();
        QTest::keyClick(dial, Qt::Key_Up);
        QTest::keyClick(dial, Qt::Key_Up);
        QTest::keyClick(dial, Qt::Key_Down);
        QCOMPARE(countOf(hl_R0, EVENT_COMMIT), 3);
        QCOMPARE(actions().last().value, 1);

        // Drag from the pointer's start across to the right-hand end.
        events.clear();
        QWidget *d3 = part("R3.dial");
        const QPoint c = d3->rect().center();
        QTest::mousePress(d3, Qt::LeftButton, {}, c + QPoint(-20, 20));
        for (int x = -20; x <= 20; x += 5) {
            QMouseEvent move(QEvent::MouseMove, QPointF(c + QPoint(x, x < 0 ? -10 : 20)), d3->mapToGlobal(QPointF(c + QPoint(x, 0))),
                             Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(d3, &move);
        }
        QCOMPARE(actions().size(), 0);  // nothing while dragging
        QTest::mouseRelease(d3, Qt::LeftButton, {}, c + QPoint(20, 20));
        QCOMPARE(countOf(hl_R3, EVENT_COMMIT), 1);
        QCOMPARE(actions().last().value, 15);

        events.clear();
        clickArrow("R3.arrows", true);  // already at 15
        QCOMPARE(actions().size(), 0);
    }

    void knobDisplayShowsItsItem()
    {
        auto display = [&](const char *n) { return qobject_cast<ItemBox *>(part(n))->text(); };
        QCOMPARE(display("R2.display"), QString("0"));
        QCOMPARE(SetCtrlVal(panel, hl_R2, 11), 0);
        QCOMPARE(display("R2.display"), QString("11"));
        QCOMPARE(SetCtrlVal(panel, hl_R3, 16), 0);  // beyond the items: shown as its number
        QCOMPARE(display("R3.display"), QString("16"));
        QCOMPARE(qobject_cast<Dial *>(part("R3.dial"))->position(), 15);
        int v = 0;
        GetCtrlVal(panel, hl_R3, &v);
        QCOMPARE(v, 16);
        clickArrow("R3.arrows", false);  // down from 16 lands on the last item
        GetCtrlVal(panel, hl_R3, &v);
        QCOMPARE(v, 15);
    }

    // The numeric takes up to nine ASCII digits as typed, and nothing else.
    void numericTakesDigitsOnly_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::newRow("digits") << "150" << "150";
        QTest::newRow("signs, letters, spaces") << "-1a2.3 +" << "123";
        QTest::newRow("nine at most") << "123456789012" << "123456789";
        QTest::newRow("other digits") << QString::fromUtf8("1\u0663\uff12") << "1";
    }
    void numericTakesDigitsOnly()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        auto *edit = qobject_cast<QLineEdit *>(part("odpor"));
        QVERIFY(edit);
        const QString before = edit->text();
        edit->setFocus();
        edit->selectAll();
        for (QChar c : typed) {  // as typed on any keyboard, not only Latin-1 ones
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(edit, &press);
        }
        QCOMPARE(edit->text(), shown);
        edit->setText(before);
        QCOMPARE(actions().size(), 0);
    }

    // The numeric: typing then Enter is one value-changed event with the
    // whole number; arrows and keys step; typing beyond the range is held
    // at its edge; committing the same value again raises nothing.
    void numericValueChanged()
    {
        auto *edit = qobject_cast<QLineEdit *>(part("odpor"));
        QVERIFY(edit);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, "150");
        QCOMPARE(actions().size(), 0);
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(actions().size(), 1);
        QCOMPARE(actions()[0].control, int(hl_odpor));
        QCOMPARE(actions()[0].event, int(EVENT_VAL_CHANGED));
        QCOMPARE(actions()[0].value, 150);

        QTest::keyClick(edit, Qt::Key_Return);  // same value again
        QCOMPARE(actions().size(), 1);

        clickArrow("odpor.arrows", true);
        QCOMPARE(actions().last().value, 151);
        QTest::keyClick(edit, Qt::Key_Down);
        QCOMPARE(actions().last().value, 150);

        edit->selectAll();
        QTest::keyClicks(edit, "99999");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(actions().last().value, 15000);
        QCOMPARE(edit->text(), QString("15000"));

        edit->selectAll();
        QTest::keyClicks(edit, "abc");  // not digits: not taken
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QString("15000"));
    }

    // Values set from code raise nothing, and the program may show values
    // the operator cannot type.
    void setFromCodeRaisesNothing()
    {
        for (int id : {hl_R3, hl_R2, hl_R1, hl_R0, hl_odpor, hl_remote, hl_com, hl_LED1, hl_LED4})
            QCOMPARE(SetCtrlVal(panel, id, 3), 0);
        QCOMPARE(SetCtrlVal(panel, hl_odpor, 16221), 0);
        QCOMPARE(qobject_cast<QLineEdit *>(part("odpor"))->text(), QString("16221"));
        int v = 0;
        GetCtrlVal(panel, hl_remote, &v);
        QCOMPARE(v, 1);
        // Start clicked from the event queue, behind anything set from code
        // may have queued: its commit comes alone.
        QTimer::singleShot(0, this, [this] { QTest::mouseClick(part("start"), Qt::LeftButton); });
        QTRY_VERIFY_WITH_TIMEOUT(countOf(hl_start, EVENT_COMMIT) == 1, slack(5000));
        QCOMPARE(actions().size(), 1);
    }

    void buttonsAndSwitchCommit()
    {
        QTest::mouseClick(part("start"), Qt::LeftButton);
        QTest::mouseClick(part("remote"), Qt::LeftButton);
        part("remote")->setFocus();
        QTest::keyClick(part("remote"), Qt::Key_Space);
        QCOMPARE(actions().size(), 3);
        QCOMPARE(actions()[0].control, int(hl_start));
        QCOMPARE(actions()[1].control, int(hl_remote));
        QCOMPARE(actions()[1].value, 1);
        QCOMPARE(actions()[2].value, 0);
        for (const Event &e : actions())
            QCOMPARE(e.event, int(EVENT_COMMIT));
    }

    // Escape and the window's close box both operate Exit.
    void escapeAndCloseBoxOperateExit()
    {
        QTest::keyClick(window, Qt::Key_Escape);
        QCOMPARE(countOf(hl_konec, EVENT_COMMIT), 1);
        window->close();
        QCOMPARE(countOf(hl_konec, EVENT_COMMIT), 2);
        QVERIFY(window->isVisible());  // closing is the program's business

        SetCtrlAttribute(panel, hl_konec, ATTR_DIMMED, 1);
        QTest::keyClick(window, Qt::Key_Escape);
        window->close();
        QCOMPARE(countOf(hl_konec, EVENT_COMMIT), 2);
    }

    // SIGTERM, SIGINT and SIGHUP operate the close control too: its commit
    // comes once each, on the event loop, not from inside the signal's
    // handler. One that comes while a pop-up is up closes the pop-up, and
    // the commit follows once the pop-up is gone. SIGPIPE does nothing.
    void signalsOperateTheCloseControl()
    {
        QCOMPARE(std::raise(SIGPIPE), 0);
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            events.clear();
            QCOMPARE(std::raise(sig), 0);
            QCOMPARE(actions().size(), 0);
            QTRY_COMPARE_WITH_TIMEOUT(actions().size(), 1, slack(1000));
            QCOMPARE(countOf(hl_konec, EVENT_COMMIT), 1);
        }

        events.clear();
        bool popupUp = false;
        QTimer::singleShot(0, this, [&] {
            popupUp = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) != nullptr;
            std::raise(SIGTERM);
        });
        QCOMPARE(MessagePopup("T-483", "Start"), 0);  // returns: the signal closed it
        QVERIFY(popupUp);
        QCOMPARE(actions().size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(actions().size(), 1, slack(1000));
        QCOMPARE(countOf(hl_konec, EVENT_COMMIT), 1);
    }

    void dimmedControlsRaiseNothing()
    {
        for (int id : {hl_vyp, hl_start, hl_remote, hl_R3, hl_odpor})
            QCOMPARE(SetCtrlAttribute(panel, id, ATTR_DIMMED, 1), 0);
        QTest::mouseClick(part("start"), Qt::LeftButton);
        QTest::mouseClick(part("vyp"), Qt::LeftButton);
        QTest::mouseClick(part("remote"), Qt::LeftButton);
        clickArrow("R3.arrows", true);
        clickArrow("odpor.arrows", true);
        QTest::keyClick(part("R3.dial"), Qt::Key_Up);
        QCOMPARE(actions().size(), 0);
        int v = -1;
        GetCtrlAttribute(panel, hl_start, ATTR_DIMMED, &v);
        QCOMPARE(v, 1);

        QCOMPARE(SetCtrlAttribute(panel, hl_start, ATTR_DIMMED, 0), 0);
        QTest::mouseClick(part("start"), Qt::LeftButton);
        QCOMPARE(actions().size(), 1);
    }

    void attributes()
    {
        QCOMPARE(SetCtrlAttribute(panel, hl_vyp, ATTR_LABEL_TEXT, "Power OFF"), 0);
        auto *vyp = qobject_cast<QPushButton *>(part("vyp"));
        QCOMPARE(vyp->text(), QString("Power OFF"));
        QCOMPARE(vyp->size(), QSize(60, 26));  // the face keeps its size; the text fits on it
        QVERIFY(vyp->fontMetrics().horizontalAdvance(vyp->text()) + 8 <= vyp->width());
        QCOMPARE(SetPanelAttribute(panel, ATTR_TITLE, CP1250("Ovládanie dekády T-483")), 0);
        QCOMPARE(window->windowTitle(), QString::fromUtf8("Ovládanie dekády T-483"));
        QCOMPARE(SetPanelAttribute(panel, ATTR_TITLE, CP1250("Přístroj T-483 se na sběrnici RS232 nehlásí!")), 0);
        QCOMPARE(window->windowTitle(), QString::fromUtf8("Přístroj T-483 se na sběrnici RS232 nehlásí!"));

        int v = 0;
        QCOMPARE(SetCtrlAttribute(panel, hl_com, ATTR_FAIL_COLOR, 0xFF0000), 0);
        GetCtrlAttribute(panel, hl_com, ATTR_FAIL_COLOR, &v);
        QCOMPARE(v, 0xFF0000);
        QCOMPARE(SetCtrlAttribute(panel, hl_LED4, ATTR_ON_COLOR, 0x00FF00), 0);
        QCOMPARE(SetCtrlAttribute(panel, hl_LED4, ATTR_OFF_COLOR, 0xC0C0C0), 0);
        GetCtrlAttribute(panel, hl_LED4, ATTR_ON_COLOR, &v);
        QCOMPARE(v, 0x00FF00);
        // A lit lamp is painted in its on-colour.
        SetCtrlVal(panel, hl_LED4, 1);
        QWidget *lamp = part("LED4");
        QImage img = lamp->grab().toImage();
        QColor mid = img.pixelColor(img.width() / 2 + 3, img.height() / 2 + 3);
        QVERIFY2(mid.green() > 200 && mid.red() < 100, qPrintable(mid.name()));

        QCOMPARE(SetCtrlAttribute(panel, hl_start, ATTR_ON_COLOR, 1), int(UIE_BAD_ATTRIBUTE));
        QCOMPARE(SetCtrlVal(panel, 99, 1), int(UIE_BAD_CONTROL));
        QCOMPARE(SetCtrlVal(panel + 100, hl_start, 1), int(UIE_BAD_HANDLE));
    }

    // The panel looks as its layout says whatever the desktop's palette:
    // under a dark one it is the very image it is under the usual light one
    // (labels and button texts dark on the grey panel), and the desktop
    // changing its palette while the panel is up changes nothing on it. A
    // desktop theme (GTK's) gives the style its standard palette, dark too.
    void panelKeepsItsLookUnderADarkDesktop()
    {
        const QImage light = window->grab().toImage();
        const QPalette usual = QApplication::palette();
        QPalette dark(QColor(0xF0, 0xF0, 0xF0), QColor(0x35, 0x35, 0x35));  // text, window
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::BrightText})
            dark.setColor(role, QColor(0xF0, 0xF0, 0xF0));
        for (auto role : {QPalette::Window, QPalette::Button, QPalette::Base, QPalette::AlternateBase})
            dark.setColor(role, QColor(0x35, 0x35, 0x35));
        dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0xA0, 0xA0, 0xA0));
        dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xA0, 0xA0, 0xA0));
        dark.setColor(QPalette::Highlight, QColor(0xFF, 0x80, 0x00));
        auto restore = qScopeGuard([&] {
            QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
            QApplication::setPalette(usual);
        });

        // Changed under the panel that is up.
        QApplication::setPalette(dark);
        QCOMPARE(window->grab().toImage(), light);

        // Set before the panel is loaded, the style's standard palette too.
        QApplication::setStyle(new DesktopThemed(dark));
        DiscardAllPanels();
        open();
        const QImage underDark = window->grab().toImage();
        QCOMPARE(underDark.size(), light.size());
        QCOMPARE(underDark, light);

        const QColor grey(0xC0, 0xC0, 0xC0);
        int labels = 0;
        for (QLabel *l : window->findChildren<QLabel *>()) {
            labels++;
            for (auto group : {QPalette::Active, QPalette::Inactive})
                QVERIFY2(l->palette().color(group, QPalette::WindowText).lightness() < 60, qPrintable(l->objectName()));
            // Its text is dark pixels on the panel's grey.
            const QImage img = l->grab().toImage();
            int darkest = 255;
            for (int y = 0; y < img.height(); y++)
                for (int x = 0; x < img.width(); x++)
                    darkest = std::min(darkest, qGray(img.pixel(x, y)));
            QVERIFY2(darkest < 60, qPrintable(l->objectName()));
            QCOMPARE(img.pixelColor(0, 0), grey);
        }
        QVERIFY(labels >= 10);
        for (QPushButton *b : window->findChildren<QPushButton *>()) {
            for (auto group : {QPalette::Active, QPalette::Inactive})
                QVERIFY2(b->palette().color(group, QPalette::ButtonText).lightness() < 60, qPrintable(b->objectName()));
            QVERIFY2(b->palette().color(QPalette::Disabled, QPalette::ButtonText).lightness() < 128,
                     qPrintable(b->objectName()));
        }
        auto *edit = qobject_cast<QLineEdit *>(part("odpor"));
        QVERIFY(edit->palette().color(QPalette::Active, QPalette::Text).lightness() < 60);
        QCOMPARE(edit->palette().color(QPalette::Active, QPalette::Base), QColor(Qt::white));
    }

    // The panel's window carries the program's icon, embedded, so that it
    // shows without any image plugin.
    void windowHasTheProgramsIcon()
    {
        const QIcon icon = window->windowIcon();
        QVERIFY(!icon.isNull());
        const QImage img = icon.pixmap(QSize(64, 64)).toImage();
        QCOMPARE(img.size(), QSize(64, 64));
        QVERIFY(img.pixelColor(32, 32).alpha() == 255);
    }

    void focus()
    {
        QCOMPARE(SetActiveCtrl(panel, hl_start), 0);
        QCOMPARE(GetActiveCtrl(panel), int(hl_start));
        QCOMPARE(SetActiveCtrl(panel, hl_konec), 0);
        QCOMPARE(GetActiveCtrl(panel), int(hl_konec));
    }

    // Tab walks the operable controls in reading order, skipping dimmed ones;
    // each is then worked from the keyboard alone.
    void keyboardAlone()
    {
        SetActiveCtrl(panel, hl_odpor);
        QStringList order;
        for (int k = 0; k < 10; k++) {
            order << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order, (QStringList{"odpor", "remote", "com.box", "vyp", "R3.dial", "R2.dial", "R1.dial",
                                     "R0.dial", "start", "konec"}));
        QCOMPARE(QApplication::focusWidget()->objectName(), QString("odpor"));

        SetCtrlAttribute(panel, hl_remote, ATTR_DIMMED, 1);
        SetCtrlAttribute(panel, hl_R2, ATTR_DIMMED, 1);
        SetActiveCtrl(panel, hl_odpor);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString("com.box"));
        SetActiveCtrl(panel, hl_R3);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString("R1.dial"));
        SetCtrlAttribute(panel, hl_remote, ATTR_DIMMED, 0);

        events.clear();
        SetActiveCtrl(panel, hl_com);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
        int v = 0;
        GetCtrlVal(panel, hl_com, &v);
        QCOMPARE(v, 2);
        SetActiveCtrl(panel, hl_remote);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        SetActiveCtrl(panel, hl_start);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(actions().size(), 2);
        QCOMPARE(actions()[0].control, int(hl_remote));
        QCOMPARE(actions()[1].control, int(hl_start));
    }

    // A wheel that reports parts of a notch (high resolution, touchpads)
    // steps a knob, the COM selector or the numeric once per whole notch of
    // 120, adding the parts up; a turn of two notches at once steps twice,
    // each step its own event, as two notches would.
    void wheelStepsOncePerNotch_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("control");
        QTest::addColumn<bool>("raises");  // the control has a callback
        QTest::newRow("knob") << "R1.dial" << int(hl_R1) << true;
        QTest::newRow("COM selector") << "com.box" << int(hl_com) << false;
        QTest::newRow("numeric") << "odpor" << int(hl_odpor) << true;
    }
    void wheelStepsOncePerNotch()
    {
        QFETCH(QString, name);
        QFETCH(int, control);
        QFETCH(bool, raises);
        QWidget *w = part(qPrintable(name));
        QVERIFY(w);
        w->setFocus();
        QTRY_VERIFY(w->hasFocus());
        int from = 0, v = 0;
        GetCtrlVal(panel, control, &from);
        auto turn = [&](int delta) {
            const QPointF at = QRectF(w->rect()).center();
            QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
            QApplication::sendEvent(w, &e);
            GetCtrlVal(panel, control, &v);
            return v - from;
        };
        QCOMPARE(turn(40), 0);
        QCOMPARE(turn(40), 0);
        QCOMPARE(turn(40), 1);
        QCOMPARE(actions().size(), raises ? 1 : 0);
        QCOMPARE(turn(240), 3);
        QCOMPARE(actions().size(), raises ? 3 : 0);
        QCOMPARE(turn(-60), 3);
        QCOMPARE(turn(-60), 2);
        QCOMPARE(actions().size(), raises ? 4 : 0);
    }

    // Return and Enter press the button with the focus, as Space does: one
    // commit each, none while the key repeats, none when it is dimmed.
    void returnPressesTheFocusedButton()
    {
        SetActiveCtrl(panel, hl_start);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
        QKeyEvent held(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(QApplication::focusWidget(), &held);
        SetActiveCtrl(panel, hl_vyp);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        SetCtrlAttribute(panel, hl_vyp, ATTR_DIMMED, 1);
        QTest::keyClick(part("vyp"), Qt::Key_Return);
        QCOMPARE(actions().size(), 3);
        QCOMPARE(countOf(hl_start, EVENT_COMMIT), 2);
        QCOMPARE(countOf(hl_vyp, EVENT_COMMIT), 1);
    }

    // Every control carries its label as its accessible name.
    void accessibleNames()
    {
        QMap<QString, QString> names;
        const QList<QWidget *> all = window->findChildren<QWidget *>();
        for (QWidget *w : all)
            if (!w->accessibleName().isEmpty())
                names[w->accessibleName()] = w->objectName();
        QCOMPARE(names.value("Start"), QString("start"));
        QCOMPARE(names.value("Vypnout"), QString("vyp"));
        QCOMPARE(names.value("x 10M"), QString("R1.dial"));
        QCOMPARE(names.value("x 1G"), QString("R3.dial"));
        QCOMPARE(names.value("REMOTE"), QString("remote"));
        QCOMPARE(names.value("COM"), QString("com.box"));
        QCOMPARE(names.value("R [MOhm]"), QString("odpor"));
        QCOMPARE(names.value("2.5 kV"), QString("LED2"));
        QCOMPARE(names.value("REM"), QString("LED4"));
        // A new label is a new name.
        SetCtrlAttribute(panel, hl_konec, ATTR_LABEL_TEXT, "Exit");
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(part("konec"));
        QVERIFY(a);
        QCOMPARE(a->text(QAccessible::Name), QString("Exit"));
    }

    void timerTicksEveryFifthOfASecond()
    {
        events.clear();
        const double from = now();
        QTRY_VERIFY_WITH_TIMEOUT(ticks().size() >= 6, slack(3000));
        // The sixth tick is due five intervals after the first at the
        // earliest (a late first tick does not delay the others, so count
        // from before it).
        const double ms = ticks()[5].start - from;
        QVERIFY2(ms > 999 && ms < slack(1600), qPrintable(QString::number(ms)));
    }

    // A callback that blocks is never re-entered: ticks falling due meanwhile
    // are dropped, and after an overlong tick a whole interval passes first.
    void callbacksNeverOverlap()
    {
        events.clear();
        blockMs = 450;
        QTRY_VERIFY_WITH_TIMEOUT(ticks().size() >= 3, slack(5000));
        blockMs = 0;
        const QList<Event> t = ticks();
        for (qsizetype k = 1; k < t.size(); k++)
            QVERIFY2(t[k].start - t[k - 1].end >= 199, qPrintable(QString::number(t[k].start - t[k - 1].end)));
    }

    // A pop-up is modal and keeps its title, an empty one too; ticks that
    // fall due while it is up are dropped. The pop-up is closed once the
    // panel's timer has fallen due twice while it was up.
    void messagePopupIsModal()
    {
        auto *timer = window->findChild<QTimer *>("TIMER");
        QVERIFY(timer);
        int due = 0;
        QString title = "x", text;
        Qt::WindowModality modality = Qt::NonModal;
        const auto watch = connect(timer, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || ++due < 2)
                return;
            title = box->windowTitle();
            text = box->text();
            modality = box->windowModality();
            box->accept();
        });
        events.clear();
        QCOMPARE(MessagePopup("", CP1250("Nepřípustný parametr v T483.INI: [t483], demo=%s%n <b>")), 0);
        disconnect(watch);
        QCOMPARE(due, 2);
        QCOMPARE(title, QString());
        QCOMPARE(text, QString::fromUtf8("Nepřípustný parametr v T483.INI: [t483], demo=%s%n <b>"));
        QCOMPARE(modality, Qt::ApplicationModal);
        QCOMPARE(countOf(hl_TIMER, EVENT_TIMER_TICK), 0);
    }

    // Bindings add up, a later one of a name replacing the earlier: a panel
    // loaded after "cbstart" is bound anew calls the new function, and the
    // other names as bound before.
    // A context menu of texts on a control with an installed callback: the
    // right button, the Menu key and Shift+F10 bring it up after the callback
    // was asked for its items; the item chosen reaches the callback by its
    // index, with the callback's data; Escape chooses nothing; a dimmed
    // control or one without a menu shows none.
    void contextMenu()
    {
        static QList<std::array<int, 3>> got;  // event, eventData1, data
        static int data = 7;
        got.clear();
        auto cb = [](int p, int c, int e, void *d, int d1, int) {
            got.append({e, d1, *static_cast<int *>(d)});
            static const char *const items[] = {"/dev/ttyUSB0  (FTDI)", "a&b", CP1250("Výchozí (/dev/ttyS0)")};
            if (e == EVENT_MENU_WANTED)
                SetCtrlMenu(p, c, items, 3);
            return 0;
        };
        QWidget *box = part("com.box");
        // Through the window, as the desktop delivers it: the press becomes a
        // context menu event.
        auto rightClick = [&] {
            QTest::mouseClick(window->windowHandle(), Qt::RightButton, {}, box->mapTo(window, box->rect().center()));
        };
        QCOMPARE(InstallCtrlCallback(panel, hl_com, cb, &data), 0);
        QCOMPARE(operateMenu(rightClick, 0), QStringList());  // no menu given yet
        QCOMPARE(SetCtrlMenu(panel, hl_com, nullptr, 0), 0);
        QCOMPARE(SetCtrlMenu(panel, 999, nullptr, 0), UIE_BAD_CONTROL);

        const QStringList items{"/dev/ttyUSB0  (FTDI)", "a&&b", QString::fromUtf8("Výchozí (/dev/ttyS0)")};
        QCOMPARE(operateMenu(rightClick, 2), items);
        QCOMPARE(got, (QList<std::array<int, 3>>{{EVENT_MENU_WANTED, 0, 7}, {EVENT_MENU, 2, 7}}));
        got.clear();
        box->setFocus();
        QCOMPARE(operateMenu([&] { QTest::keyClick(box, Qt::Key_F10, Qt::ShiftModifier); }, 1), items);
        QCOMPARE(operateMenu([&] { QTest::keyClick(box, Qt::Key_Menu); }, -1), items);
        QCOMPARE(got, (QList<std::array<int, 3>>{{EVENT_MENU_WANTED, 0, 7}, {EVENT_MENU, 1, 7}, {EVENT_MENU_WANTED, 0, 7}}));
        QCOMPARE(actions().size(), 0);  // the test's own callbacks got nothing

        got.clear();
        SetCtrlAttribute(panel, hl_com, ATTR_DIMMED, 1);
        QCOMPARE(operateMenu(rightClick, 0), QStringList());
        QCOMPARE(got.size(), 0);
    }

    void laterBindingReplacesEarlier()
    {
        static int starts;
        starts = 0;
        const CallbackBinding other[] = {{"cbstart", [](int, int, int, void *, int, int) { return ++starts, 0; }},
                                         {nullptr, nullptr}};
        QCOMPARE(BindCallbacks(other), 0);
        DiscardAllPanels();
        open();
        QTest::mouseClick(part("start"), Qt::LeftButton);
        QTest::mouseClick(part("vyp"), Qt::LeftButton);
        const CallbackBinding again[] = {{"cbstart", cbstart}, {nullptr, nullptr}};
        QCOMPARE(BindCallbacks(again), 0);
        QCOMPARE(starts, 1);
        QCOMPARE(actions().size(), 1);
        QCOMPARE(actions()[0].control, int(hl_vyp));
    }

    // A layout in another format, or giving a control an event its kind does
    // not raise, is not read; one that does not say its format is.
    void layoutsSayWhatTheyHold()
    {
        QFile f(QStringLiteral(":/uir/T483.UIR"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject layout = QJsonDocument::fromJson(f.readAll()).object();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The layout changed by `change`, loaded from a file.
        auto load = [&](auto change) {
            QJsonObject root = layout;
            change(root);
            QFile out(dir.filePath("variant.uir"));
            if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return 0;
            out.write(QJsonDocument(root).toJson());
            out.close();
            return LoadPanel(0, qPrintable(out.fileName()), hl);
        };
        // The main panel's control `name` given the event `event`.
        auto withEvent = [](const char *name, const char *event) {
            return [=](QJsonObject &root) {
                QJsonArray panels = root.value("panels").toArray();
                for (qsizetype p = 0; p < panels.size(); p++) {
                    QJsonObject panel = panels[p].toObject();
                    QJsonArray controls = panel.value("controls").toArray();
                    for (qsizetype k = 0; k < controls.size(); k++) {
                        QJsonObject c = controls[k].toObject();
                        if (panel.value("number").toInt() == hl && c.value("constant").toString() == name) {
                            c.insert("event", event);
                            controls[k] = c;
                        }
                    }
                    panel.insert("controls", controls);
                    panels[p] = panel;
                }
                root.insert("panels", panels);
            };
        };
        QVERIFY(load([](QJsonObject &) {}) > 0);
        QVERIFY(load([](QJsonObject &root) { root.remove("format"); }) > 0);
        QCOMPARE(load([](QJsonObject &root) { root.insert("format", "t483 layout 2"); }), int(UIE_BAD_FILE));
        QCOMPARE(load(withEvent("vyp", "valueChanged")), int(UIE_BAD_FILE));  // a button commits
        QVERIFY(load(withEvent("vyp", "commit")) > 0);
        QCOMPARE(load(withEvent("LED3", "commit")), int(UIE_BAD_FILE));  // a lamp raises nothing
        // What the run-time cannot give a panel is refused, not left out.
        auto withPanel = [](const char *key, QJsonValue value) {
            return [=](QJsonObject &root) {
                QJsonArray panels = root.value("panels").toArray();
                QJsonObject panel = panels[0].toObject();
                panel.insert(key, value);
                panels[0] = panel;
                root.insert("panels", panels);
            };
        };
        QCOMPARE(load(withPanel("menuBar", "main")), int(UIE_BAD_FILE));
        QCOMPARE(load(withPanel("callback", "cbstart")), int(UIE_BAD_FILE));
        QCOMPARE(load(withPanel("font", "meta")), int(UIE_BAD_FILE));
        QCOMPARE(load(withPanel("background", "grey")), int(UIE_BAD_FILE));
        QVERIFY(load(withPanel("menuBar", QJsonValue::Null)) > 0);
    }

    void badLayouts()
    {
        QCOMPARE(LoadPanel(0, "unknown_callback.uir", 1), int(UIE_NO_CALLBACK));
        QCOMPARE(LoadPanel(0, "broken.uir", 1), int(UIE_BAD_FILE));
        QCOMPARE(LoadPanel(0, "T483.UIR", hl + 1), int(UIE_NO_PANEL));
        QCOMPARE(LoadPanel(0, "no-such-layout.uir", 1), int(UIE_NO_FILE));
    }
};

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
