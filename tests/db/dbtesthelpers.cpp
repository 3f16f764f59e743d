#include "dbtesthelpers.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace dbtest {

bool writeText(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray bytes = text.toUtf8();
    return file.write(bytes) == bytes.size();
}

QList<QJsonObject> rowsOf(TQ2DBSqlite &db, const QString &sql, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> rows;
    db.exec(changes, lastId, rows, sql, values);
    return rows;
}

QStringList columnsOf(TQ2DBSqlite &db, const QString &table)
{
    QStringList columns;
    for (const QJsonObject &row : rowsOf(db, QStringLiteral("PRAGMA table_info(%1);").arg(table))) {
        const QJsonValue def = row.value(QLatin1String("dflt_value"));
        columns << QStringLiteral("%1|%2|%3")
                       .arg(row.value(QLatin1String("name")).toString(),
                            row.value(QLatin1String("type")).toString(),
                            def.isUndefined() ? QStringLiteral("-") : def.toString());
    }
    return columns;
}

} // namespace dbtest

void PrintTo(const QString &value, std::ostream *out)
{
    *out << '"' << value.toStdString() << '"';
}

void PrintTo(const QJsonValue &value, std::ostream *out)
{
    if (value.isUndefined()) {
        *out << "(undefined)";
        return;
    }
    const QByteArray json = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    *out << json.mid(1, json.size() - 2).toStdString();
}

void PrintTo(const QJsonObject &value, std::ostream *out)
{
    *out << QJsonDocument(value).toJson(QJsonDocument::Compact).toStdString();
}
