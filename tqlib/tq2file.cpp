#include "tq2file.h"

#include "tq2utils.h"

#include <QFile>

QByteArray TQ2File::readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QJsonObject TQ2File::readJsonObject(const QString &path)
{
    return toJsonObject(readAll(path));
}
