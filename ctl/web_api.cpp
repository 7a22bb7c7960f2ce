// The web panel's model and API bodies.
#include "ctl/web_api.h"

#include "ctl/decade.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QJsonValue optionalValue(const std::optional<int> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QString utc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

// The commands of `sent` that change the decade (L, R, P), without the
// reads.
QString changesIn(const std::string &sent)
{
    QStringList kept;
    for (const QString &command : QString::fromStdString(sent).split(' ', Qt::SkipEmptyParts)) {
        if (command.startsWith('L') || command.startsWith('R') || command.startsWith('P'))
            kept << command;
    }
    return kept.join(' ');
}

BodyValue bad(int status, const QString &error)
{
    return {0, status, error};
}

// The body as a JSON object holding `key`, or the error.
std::optional<QJsonValue> member(const QByteArray &body, const char *key, BodyValue *error)
{
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject()) {
        *error = bad(400, "the body is no JSON object");
        return std::nullopt;
    }
    const QJsonValue value = document.object().value(key);
    if (value.isUndefined()) {
        *error = bad(422, QString("\"%1\" is missing").arg(key));
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool applyEffects(WebView &view, const DecadeEffects &effects, const QString &by, const QDateTime &nowUtc)
{
    // A value read again is no change: the time it was read is not pushed
    // on its own.
    QJsonObject before = stateJson(view);
    before.remove("read_utc");
    if (effects.lost)
        view.link = "lost";
    else if (effects.unanswered)
        view.link = "not answering";
    else
        view.link = "answering";
    if (!effects.unanswered)
        view.poweredOff = effects.poweredOff;
    else if (effects.poweredOff)
        view.poweredOff = true;
    view.remote = effects.remoteNow;
    const std::optional<int> oldResistance = view.resistance, oldVoltage = view.voltage;
    if (effects.resistance)
        view.resistance = effects.resistance;
    if (effects.voltage)
        view.voltage = effects.voltage;
    if (effects.resistance || effects.voltage)
        view.readTime = nowUtc;

    const QString changes = changesIn(effects.sent);
    if (!by.isEmpty() && !changes.isEmpty()) {
        view.changeBy = by;
        view.changeWhat = changes;
        view.changeTime = nowUtc;
    } else if (by.isEmpty() && oldResistance && view.resistance != oldResistance) {
        view.changeBy = "front panel";
        view.changeWhat = "R" + QString::number(*view.resistance);
        view.changeTime = nowUtc;
    } else if (by.isEmpty() && oldVoltage && view.voltage != oldVoltage) {
        view.changeBy = "front panel";
        view.changeWhat = QString::number(*view.voltage) + " V";
        view.changeTime = nowUtc;
    }
    QJsonObject after = stateJson(view);
    after.remove("read_utc");
    return after != before;
}

QJsonObject stateJson(const WebView &view)
{
    QJsonObject state{
        {"identification", view.identification},
        {"resistance_mohm", optionalValue(view.resistance)},
        {"voltage_v", optionalValue(view.voltage)},
        {"remote", view.remote},
        {"link", view.link},
        {"powered_off", view.poweredOff},
        {"read_utc", view.readTime.isValid() ? QJsonValue(utc(view.readTime)) : QJsonValue()},
    };
    state["last_change"] = view.changeBy.isEmpty()
        ? QJsonValue()
        : QJsonValue(QJsonObject{{"by", view.changeBy}, {"what", view.changeWhat}, {"time_utc", utc(view.changeTime)}});
    return state;
}

BodyValue parseRemoteBody(const QByteArray &body)
{
    BodyValue result;
    const std::optional<QJsonValue> on = member(body, "on", &result);
    if (!on)
        return result;
    if (!on->isBool())
        return bad(422, "\"on\" must be true or false");
    return {on->toBool() ? 1 : 0, 200, {}};
}

BodyValue parseResistanceBody(const QByteArray &body)
{
    BodyValue result;
    const std::optional<QJsonValue> mohm = member(body, "mohm", &result);
    if (!mohm)
        return result;
    const double value = mohm->toDouble(-1);
    if (!mohm->isDouble() || value != double(qint64(value)))
        return bad(422, "\"mohm\" must be a whole number of MOhm");
    if (!Decade::validResistance(qint64(value)))
        return bad(422, QString("%1 MOhm is outside %2..%3").arg(qint64(value)).arg(DECADE_MIN_MOHM).arg(DECADE_MAX_MOHM));
    return {int(value), 200, {}};
}

BodyValue parsePowerOffBody(const QByteArray &body)
{
    BodyValue result;
    const std::optional<QJsonValue> confirm = member(body, "confirm", &result);
    if (!confirm)
        return result;
    if (*confirm != QJsonValue(true))
        return bad(422, "\"confirm\" must be true to switch the decade off");
    return {1, 200, {}};
}

bool carriesToken(const QByteArray &authorization, const QString &queryToken, const QString &token)
{
    if (token.isEmpty())
        return true;
    const QByteArray wanted = token.toLatin1();
    QByteArray given = queryToken.toLatin1();
    if (authorization.startsWith("Bearer "))
        given = authorization.mid(7).trimmed();
    if (given.size() != wanted.size())
        return false;
    // Every byte compared, whatever the first difference.
    unsigned char differ = 0;
    for (qsizetype i = 0; i < wanted.size(); i++)
        differ |= (unsigned char)(given[i] ^ wanted[i]);
    return differ == 0;
}

bool sameOrigin(const QByteArray &origin, const QByteArray &host, bool tls)
{
    if (origin.isEmpty())
        return true;
    if (host.isEmpty())
        return false;
    return origin.toLower() == (tls ? "https://" : "http://") + host.toLower();
}

QString loadOrCreateToken(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const QByteArray token = QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0') +
                                 QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
        const QByteArray line = token + '\n';
        const bool written = ::write(fd, line.constData(), size_t(line.size())) == line.size();
        ::close(fd);
        if (!written) {
            *error = "cannot write " + path;
            return {};
        }
        return QString::fromLatin1(token);
    }
    if (errno != EEXIST) {
        *error = "cannot create " + path + ": " + QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile() || info.size() > 4096 || !file.open(QIODevice::ReadOnly)) {
        *error = path + " is no readable regular file of at most 4 KB";
        return {};
    }
    const QString token = QString::fromLatin1(file.readLine(4097)).trimmed();
    if (token.size() < 16)
        *error = path + " holds no token (16 characters at least)";
    return token.size() < 16 ? QString() : token;
}

int settingsLanguage(const QByteArray &text)
{
    bool inSection = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('['))
            inSection = line.toLower() == "[t483]";
        else if (inSection && line.toLower().startsWith("language")) {
            const QByteArray rest = line.mid(8).trimmed();
            if (rest.startsWith('=')) {
                const int value = rest.mid(1).trimmed().left(1).toInt();
                return value >= 1 && value <= 3 ? value : 0;
            }
        }
    }
    return 0;
}
