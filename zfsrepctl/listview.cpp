#include "listview.h"

#include "missionview.h"
#include "terminal.h"
#include "tq2utils.h"

#include <QStringList>
#include <QVector>

namespace {

QString text(const QJsonObject &m, const char *key)
{
    const QJsonValue v = m.value(QLatin1String(key));
    return v.isDouble() ? QString::number(v.toDouble(), 'g', 15) : v.toString();
}

QString dataset(const QJsonObject &m)
{
    return text(m, "pool") + QLatin1Char('/') + text(m, "name");
}

QString remote(const QJsonObject &m)
{
    QString host = text(m, "host");
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    QString port = text(m, "port");
    if (port.isEmpty() || port == QLatin1String("0"))
        port = QStringLiteral("22");
    const QString user = text(m, "userid");
    return (user.isEmpty() ? QString() : user + QLatin1Char('@')) + host + QLatin1Char(':') + port
           + QLatin1Char('/') + text(m, "path");
}

QString orDash(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("-") : value;
}

} // namespace

QString kindName(int action)
{
    switch (action) {
    case 1: return QStringLiteral("send");
    case 2: return QStringLiteral("pull");
    case 3: return QStringLiteral("export");
    case 4: return QStringLiteral("restore");
    case 5: return QStringLiteral("mirror");
    default: return QStringLiteral("action %1").arg(action);
    }
}

QString missionSource(const QJsonObject &m)
{
    switch (toInt(m.value(QStringLiteral("action")))) {
    case 2:
    case 5: return remote(m);
    case 4: return text(m, "path");
    default: return dataset(m);
    }
}

QString missionTarget(const QJsonObject &m)
{
    switch (toInt(m.value(QStringLiteral("action")))) {
    case 1: return remote(m);
    case 3: return text(m, "path");
    case 2:
    case 4:
    case 5: return dataset(m);
    default: return text(m, "path");
    }
}

QString renderMissionList(const QJsonArray &records, Qt::TimeSpec spec)
{
    if (records.isEmpty())
        return QStringLiteral("no missions\n");
    QVector<QStringList> rows{{"MSNNO", "CAPTION", "KIND", "FROM", "TO", "STATE", "NEXT RUN", "LAST"}};
    for (const QJsonValue &value : records) {
        const QJsonObject m = value.toObject();
        const qint64 nextrun = toInt64(m.value(QStringLiteral("nextrun")));
        rows.append({QString::number(toInt(m.value(QStringLiteral("msnno")))), orDash(text(m, "caption")),
                     kindName(toInt(m.value(QStringLiteral("action")))), orDash(missionSource(m)),
                     orDash(missionTarget(m)), missionState(m),
                     nextrun > 0 ? formatTime(nextrun, spec) : QStringLiteral("-"), orDash(text(m, "lastresult"))});
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], textColumns(row.at(i)));
    }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            line += row.at(i);
            if (i + 1 < row.size())
                line += QString(widths[i] - textColumns(row.at(i)) + 2, QLatin1Char(' '));
        }
        out += line + QLatin1Char('\n');
    }
    return out;
}
