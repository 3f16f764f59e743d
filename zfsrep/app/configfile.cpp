#include "configfile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>

namespace ConfigFile {

bool read(const QString &path, QJsonObject &config, QString &error)
{
    config = QJsonObject();
    const QFileInfo info(path);
    if (!info.exists()) {
        error = QStringLiteral("configuration file %1 does not exist").arg(path);
        return false;
    }
    if (info.isDir()) {
        error = QStringLiteral("configuration file %1 is a directory").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read configuration file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("configuration file %1 is not valid JSON: %2 at offset %3")
                    .arg(path, parse.errorString())
                    .arg(parse.offset);
        return false;
    }
    if (!document.isObject()) {
        error = QStringLiteral("configuration file %1 does not hold a JSON object").arg(path);
        return false;
    }
    config = document.object();
    return true;
}

} // namespace ConfigFile
