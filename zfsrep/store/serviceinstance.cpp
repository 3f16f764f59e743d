#include "serviceinstance.h"

#include "tq2dbsqlite.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUuid>

namespace ServiceInstance {

namespace {

bool stored(TQ2DBSqlite &database, QString &instance)
{
    QJsonArray rows;
    if (!database.call(rows, QStringLiteral("configure_instance"), QJsonObject()))
        return false;
    instance = rows.isEmpty() ? QString() : rows.first().toObject().value(QStringLiteral("value")).toString();
    return true;
}

} // namespace

QString generate() { return QUuid::createUuid().toString(QUuid::Id128); }

bool isValid(const QString &id)
{
    static const QRegularExpression form(QStringLiteral("^[0-9a-f]{32}$"));
    return form.match(id).hasMatch();
}

bool ensure(TQ2DBSqlite &database, QString &instance)
{
    if (!stored(database, instance))
        return false;
    if (instance.isEmpty()) {
        // INSERT OR IGNORE: a row stored meanwhile stays, and is read below.
        if (!database.call(QStringLiteral("configure_instance_create"),
                           QJsonObject{{QStringLiteral("value"), generate()}})
            || !stored(database, instance))
            return false;
    }
    return isValid(instance);
}

} // namespace ServiceInstance
