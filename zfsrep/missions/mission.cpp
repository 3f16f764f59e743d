#include "mission.h"

#include "missionvalidator.h"
#include "tq2utils.h"

namespace {

QString text(const QJsonObject &row, const char *key) { return row.value(QLatin1String(key)).toString().trimmed(); }

} // namespace

Mission Mission::fromRow(const QJsonObject &row)
{
    Mission mission;
    mission.msnno = toInt(row.value(QStringLiteral("msnno")));
    mission.caption = text(row, "caption");
    mission.action = toInt(row.value(QStringLiteral("action")));
    mission.pool = text(row, "pool");
    mission.name = text(row, "name");
    mission.path = text(row, "path");
    mission.host = text(row, "host");
    mission.port = MissionValidator::effectivePort(row.value(QStringLiteral("port")));
    mission.userid = text(row, "userid");
    mission.passwd = row.value(QStringLiteral("passwd")).toString();
    mission.snapname = text(row, "snapname");
    mission.erase = toBool(row.value(QStringLiteral("erase")));
    mission.rateLimit = qMax<qint64>(0, toInt64(row.value(QStringLiteral("ratelimit"))));
    mission.keepSource = text(row, "keepsource");
    mission.keepTarget = text(row, "keeptarget");
    mission.carry = text(row, "carry");
    mission.hook = text(row, "hook");
    const QJsonValue schedules = row.value(QStringLiteral("schedules"));
    mission.schedules = schedules.isArray() ? schedules.toArray() : toJsonArray(schedules.toString());
    mission.done = toBool(row.value(QStringLiteral("done")));
    return mission;
}

QString Mission::remoteLocation() const
{
    return host + QLatin1Char(':') + QString::number(port) + QLatin1Char('/') + path;
}

TransferCommands::Endpoint Mission::endpoint() const
{
    return TransferCommands::Endpoint{host, port, userid, QString(), passwd.isEmpty()};
}
