#include "spacequery.h"

#include <QList>

namespace SpaceQuery {

QStringList args(const QString &dataset) { return {"list", "-Hp", "-o", "used,available", dataset}; }

bool parse(const QByteArray &output, qint64 &used, qint64 &available)
{
    const int end = output.indexOf('\n');
    const QList<QByteArray> fields = (end < 0 ? output : output.left(end)).trimmed().split('\t');
    if (fields.size() != 2)
        return false;
    bool usedOk = false;
    bool availableOk = false;
    const qint64 u = fields.at(0).toLongLong(&usedOk);
    const qint64 a = fields.at(1).toLongLong(&availableOk);
    if (!usedOk || !availableOk || u < 0 || a < 0)
        return false;
    used = u;
    available = a;
    return true;
}

} // namespace SpaceQuery
