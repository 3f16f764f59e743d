#include "metricsfile.h"

#include <QFile>
#include <QSaveFile>

namespace MetricsFile {

bool write(const QString &path, const QString &text, QString &error)
{
    // QSaveFile writes a temporary file in the target's directory and, on
    // commit, syncs it to disk and renames it over the target.
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = path + QStringLiteral(": ") + file.errorString();
        file.cancelWriting();
        return false;
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    return true;
}

} // namespace MetricsFile
