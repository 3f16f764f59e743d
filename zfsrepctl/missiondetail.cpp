#include "missiondetail.h"

#include "missionview.h"
#include "scheduletext.h"
#include "tq2utils.h"

#include <QJsonArray>
#include <QStringList>

const char *const kMaskedPassword = "********";

namespace {

QString text(const QJsonObject &m, const char *key)
{
    const QJsonValue v = m.value(QLatin1String(key));
    return v.isDouble() ? QString::number(v.toDouble(), 'g', 15) : v.toString();
}

QString yesNo(const QJsonObject &m, const char *key)
{
    return toBool(m.value(QLatin1String(key))) ? QStringLiteral("yes") : QStringLiteral("no");
}

QString remote(const QJsonObject &m)
{
    QString host = text(m, "host");
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    QString port = text(m, "port");
    if (port.isEmpty() || port == QLatin1String("0"))
        port = QStringLiteral("22");
    return text(m, "userid") + QLatin1Char('@') + host + QLatin1Char(':') + port + QLatin1Char('/') + text(m, "path");
}

} // namespace

QJsonValue maskSecrets(const QJsonValue &value)
{
    if (value.isArray()) {
        QJsonArray out;
        for (const QJsonValue &item : value.toArray())
            out.append(maskSecrets(item));
        return out;
    }
    if (!value.isObject())
        return value;
    QJsonObject out = value.toObject();
    for (auto it = out.begin(); it != out.end(); ++it) {
        if (it.key() == QLatin1String("passwd")) {
            if (!(it.value().isString() && it.value().toString().isEmpty()) && !it.value().isNull())
                it.value() = QLatin1String(kMaskedPassword);
        } else {
            it.value() = maskSecrets(it.value());
        }
    }
    return out;
}

QString newestFile(const QJsonArray &runs)
{
    for (const QJsonValue &run : runs) {
        const QString file = run.toObject().value(QStringLiteral("file")).toString();
        if (!file.isEmpty())
            return file;
    }
    return QString();
}

QString renderMissionDetail(const QJsonObject &m, Qt::TimeSpec spec)
{
    QStringList lines;
    auto row = [&](const QString &label, const QString &value) {
        lines << QStringLiteral("  %1  %2").arg(label, -10).arg(value);
    };
    const int action = toInt(m.value(QStringLiteral("action")));
    const QString dataset = text(m, "pool") + QLatin1Char('/') + text(m, "name");
    lines << QStringLiteral("mission %1  %2").arg(toInt(m.value(QStringLiteral("msnno")))).arg(text(m, "caption"));
    static const char *const kinds[] = {"?", "send", "pull (receive)", "export", "restore", "mirror (incremental pull)"};
    row(QStringLiteral("kind"), QLatin1String(kinds[action >= 1 && action <= 5 ? action : 0]));
    switch (action) {
    case 1:
        row(QStringLiteral("dataset"), dataset);
        row(QStringLiteral("to"), remote(m));
        break;
    case 2:
    case 5:
        row(QStringLiteral("from"), remote(m));
        row(QStringLiteral("into"), dataset);
        break;
    case 3:
        row(QStringLiteral("dataset"), dataset);
        row(QStringLiteral("directory"), text(m, "path"));
        break;
    case 4:
        row(QStringLiteral("file"), text(m, "path"));
        row(QStringLiteral("into"), dataset);
        break;
    default:
        row(QStringLiteral("dataset"), dataset);
        row(QStringLiteral("path"), text(m, "path"));
    }
    if (action == 1 || action == 2 || action == 5)
        row(QStringLiteral("password"), text(m, "passwd").isEmpty() ? QStringLiteral("(none)")
                                                                   : QLatin1String(kMaskedPassword));
    row(QStringLiteral("series"), text(m, "snapname"));
    row(QStringLiteral("schedule"), formatSchedules(m.value(QStringLiteral("schedules")).toArray()));
    const qint64 rate = toInt64(m.value(QStringLiteral("ratelimit")));
    row(QStringLiteral("ratelimit"), rate > 0 ? formatBytes(rate) + QStringLiteral("/s") : QStringLiteral("none"));
    row(QStringLiteral("erase"), yesNo(m, "erase"));
    if (action == 1 || action == 3 || action == 5) {
        const QString keepSource = text(m, "keepsource");
        row(QStringLiteral("keep source"), keepSource.isEmpty() ? QStringLiteral("none") : keepSource);
    }
    if (action == 1 || action == 3) {
        const QString hook = text(m, "hook");
        row(QStringLiteral("hook"), hook.isEmpty() ? QStringLiteral("none") : hook);
    }
    if (action == 1 || action == 5) {
        const QString keepTarget = text(m, "keeptarget");
        row(QStringLiteral("keep target"), keepTarget.isEmpty() ? QStringLiteral("none") : keepTarget);
        const QString carry = text(m, "carry");
        row(QStringLiteral("carry"), carry.isEmpty() ? QStringLiteral("all") : carry);
    }
    row(QStringLiteral("increment"), yesNo(m, "increment"));
    row(QStringLiteral("encrypt"), yesNo(m, "encrypt") + QStringLiteral(", key ") + yesNo(m, "encryptkey"));
    row(QStringLiteral("state"), missionState(m));
    const qint64 lastrun = toInt64(m.value(QStringLiteral("lastrun")));
    if (lastrun > 0)
        row(QStringLiteral("last run"), formatTime(lastrun, spec) + QLatin1Char(' ') + text(m, "lastresult"));
    const qint64 nextrun = toInt64(m.value(QStringLiteral("nextrun")));
    if (nextrun > 0)
        row(QStringLiteral("next run"), formatTime(nextrun, spec));
    if (!text(m, "lastfile").isEmpty())
        row(QStringLiteral("last file"), text(m, "lastfile"));
    const QStringList error = text(m, "lasterror").split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int i = 0; i < error.size(); ++i)
        row(i == 0 ? QStringLiteral("error") : QString(), error.at(i).trimmed());
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
