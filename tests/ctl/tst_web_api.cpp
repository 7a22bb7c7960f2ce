// The web panel's model and API bodies: how what a command did changes what
// the pages show, the bodies the API takes, the token and the Origin.
#include <QTest>

#include "ctl/web_api.h"

#include <QJsonDocument>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

const QDateTime T1 = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);

DecadeEffects did(const std::string &sent, std::optional<int> r = {}, std::optional<int> v = {})
{
    DecadeEffects e;
    e.sent = sent;
    e.resistance = r;
    e.voltage = v;
    return e;
}

QString change(const WebView &view)
{
    return view.changeBy.isEmpty() ? QString("-") : view.changeBy + ": " + view.changeWhat;
}

}  // namespace

class TestWebApi : public QObject {
    Q_OBJECT

private slots:
    // Each row: the view after a first command, then what a second one did.
    void effects_data()
    {
        QTest::addColumn<QString>("by");
        QTest::addColumn<int>("kind");   // 0 read, 1 silent, 2 lost, 3 set, 4 power off
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("lastChange");
        QTest::addColumn<bool>("pushed");
        QTest::newRow("poll, same value") << "" << 0 << "answering" << "-" << false;
        QTest::newRow("poll, front panel turned") << "" << 5 << "answering" << "front panel: R4072" << true;
        QTest::newRow("poll, voltage switched") << "" << 6 << "answering" << "front panel: 5000 V" << true;
        QTest::newRow("poll unanswered") << "" << 1 << "not answering" << "-" << true;
        QTest::newRow("port lost") << "" << 2 << "lost" << "-" << true;
        QTest::newRow("scpi sets") << "scpi 127.0.0.1:40312" << 3 << "answering" << "scpi 127.0.0.1:40312: L0 R4072" << true;
        QTest::newRow("scpi only reads") << "scpi 127.0.0.1:40312" << 0 << "answering" << "-" << false;
        QTest::newRow("web powers off") << "web 10.0.0.7" << 4 << "answering" << "web 10.0.0.7: P0" << true;
    }
    void effects()
    {
        QFETCH(QString, by);
        QFETCH(int, kind);
        WebView view;
        applyEffects(view, did("K M", 100, 1000), "", T1);
        DecadeEffects e = did("K M", 100, 1000);
        if (kind == 1 || kind == 2) {
            e = did("K");
            e.unanswered = true;
            e.lost = kind == 2;
        } else if (kind == 3) {
            e = did("L0 R4072", 4072);
            e.remoteNow = true;
        } else if (kind == 4) {
            e = did("P0");
            e.poweredOff = true;
        } else if (kind == 5) {
            e = did("K", 4072);
        } else if (kind == 6) {
            e = did("M", {}, 5000);
        }
        QTEST(applyEffects(view, e, by, T1.addSecs(1)), "pushed");
        QTEST(view.link, "link");
        QTEST(change(view), "lastChange");
        QCOMPARE(view.poweredOff, kind == 4);
        QCOMPARE(view.remote, kind == 3);
    }

    // A value not yet read is null; the change says who, what and when.
    void stateJson_shape()
    {
        WebView view;
        view.identification = 48305;
        QJsonObject s = stateJson(view);
        QVERIFY(s["resistance_mohm"].isNull() && s["voltage_v"].isNull() && s["last_change"].isNull());
        applyEffects(view, did("R4072", 4072), "web 10.0.0.7", T1);
        s = stateJson(view);
        QCOMPARE(s["identification"].toInt(), 48305);
        QCOMPARE(s["resistance_mohm"].toInt(), 4072);
        QCOMPARE(s["last_change"].toObject()["time_utc"].toString(), QString("2023-11-14T22:13:20.000Z"));
        QCOMPARE(s["read_utc"].toString(), QString("2023-11-14T22:13:20.000Z"));
    }

    void bodies_data()
    {
        QTest::addColumn<int>("which");   // 0 remote, 1 resistance, 2 power off
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("value");
        QTest::newRow("remote on") << 0 << QByteArray(R"({"on": true})") << 200 << 1;
        QTest::newRow("remote off") << 0 << QByteArray(R"({"on": false})") << 200 << 0;
        QTest::newRow("remote as number") << 0 << QByteArray(R"({"on": 1})") << 422 << 0;
        QTest::newRow("not JSON") << 0 << QByteArray("on") << 400 << 0;
        QTest::newRow("an array") << 1 << QByteArray("[4072]") << 400 << 0;
        QTest::newRow("lowest") << 1 << QByteArray(R"({"mohm": 0})") << 200 << 0;
        QTest::newRow("highest") << 1 << QByteArray(R"({"mohm": 16221})") << 200 << 16221;
        QTest::newRow("one above") << 1 << QByteArray(R"({"mohm": 16222})") << 422 << 0;
        QTest::newRow("negative") << 1 << QByteArray(R"({"mohm": -1})") << 422 << 0;
        QTest::newRow("fraction") << 1 << QByteArray(R"({"mohm": 1.5})") << 422 << 0;
        QTest::newRow("as text") << 1 << QByteArray(R"({"mohm": "4072"})") << 422 << 0;
        QTest::newRow("missing") << 1 << QByteArray(R"({"ohm": 4072})") << 422 << 0;
        QTest::newRow("confirmed") << 2 << QByteArray(R"({"confirm": true})") << 200 << 1;
        QTest::newRow("not confirmed") << 2 << QByteArray(R"({"confirm": false})") << 422 << 0;
        QTest::newRow("no body") << 2 << QByteArray() << 400 << 0;
    }
    void bodies()
    {
        QFETCH(int, which);
        QFETCH(QByteArray, body);
        const BodyValue v = which == 0 ? parseRemoteBody(body) : which == 1 ? parseResistanceBody(body) : parsePowerOffBody(body);
        QTEST(v.status, "status");
        if (v.status == 200)
            QTEST(v.value, "value");
        else
            QVERIFY(!v.error.isEmpty());
    }

    void token_data()
    {
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("in");
        const QString t = "0123456789abcdef0123456789abcdef";
        QTest::newRow("none asked") << QByteArray() << "" << "" << true;
        QTest::newRow("bearer") << QByteArray("Bearer " + t.toLatin1()) << "" << t << true;
        QTest::newRow("query") << QByteArray() << t << t << true;
        QTest::newRow("missing") << QByteArray() << "" << t << false;
        QTest::newRow("wrong") << QByteArray("Bearer 0123456789abcdef0123456789abcdee") << "" << t << false;
        QTest::newRow("prefix only") << QByteArray() << t.left(16) << t << false;
        QTest::newRow("basic") << QByteArray("Basic " + t.toLatin1()) << "" << t << false;
    }
    void token()
    {
        QFETCH(QByteArray, authorization);
        QFETCH(QString, query);
        QFETCH(QString, token);
        QTEST(carriesToken(authorization, query, token), "in");
    }

    void origin_data()
    {
        QTest::addColumn<QByteArray>("origin");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("same");
        QTest::newRow("no browser") << QByteArray() << QByteArray("10.0.0.2:8483") << false << true;
        QTest::newRow("own") << QByteArray("http://10.0.0.2:8483") << QByteArray("10.0.0.2:8483") << false << true;
        QTest::newRow("case") << QByteArray("http://Lab-PC:8483") << QByteArray("lab-pc:8483") << false << true;
        QTest::newRow("other site") << QByteArray("http://evil.example") << QByteArray("10.0.0.2:8483") << false << false;
        QTest::newRow("other port") << QByteArray("http://10.0.0.2:8080") << QByteArray("10.0.0.2:8483") << false << false;
        QTest::newRow("https page, http server") << QByteArray("https://10.0.0.2:8483") << QByteArray("10.0.0.2:8483") << false << false;
        QTest::newRow("tls") << QByteArray("https://10.0.0.2:8483") << QByteArray("10.0.0.2:8483") << true << true;
        QTest::newRow("no host") << QByteArray("http://10.0.0.2:8483") << QByteArray() << false << false;
    }
    void origin()
    {
        QFETCH(QByteArray, origin);
        QFETCH(QByteArray, host);
        QFETCH(bool, tls);
        QTEST(sameOrigin(origin, host, tls), "same");
    }

    // A new token file is 128 random bits in hex, mode 0600, read back
    // the same; a folder or a big file is no token file.
    void tokenFile()
    {
        QTemporaryDir dir;
        QString error;
        const QString path = dir.filePath("token");
        const QString made = loadOrCreateToken(path, &error);
        QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(made).hasMatch(), qPrintable(made + error));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(loadOrCreateToken(path, &error), made);
        QVERIFY(loadOrCreateToken(dir.path(), &error).isEmpty());
        QFile big(dir.filePath("big"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(QByteArray(5000, 'a'));
        big.close();
        QVERIFY(loadOrCreateToken(big.fileName(), &error).isEmpty());
        QVERIFY(loadOrCreateToken(path + "-other", &error) != made);
    }

    void language_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("language");
        QTest::newRow("english") << QByteArray("[t483]\nlanguage=3\n") << 3;
        QTest::newRow("spaces, case") << QByteArray("[T483]\r\n  Language = 2\r\n") << 2;
        QTest::newRow("other section") << QByteArray("[x]\nlanguage=3\n[t483]\ndemo=1\n") << 0;
        QTest::newRow("out of range") << QByteArray("[t483]\nlanguage=7\n") << 0;
        QTest::newRow("none") << QByteArray() << 0;
    }
    void language()
    {
        QFETCH(QByteArray, text);
        QTEST(settingsLanguage(text), "language");
    }
};

QTEST_GUILESS_MAIN(TestWebApi)
#include "tst_web_api.moc"
