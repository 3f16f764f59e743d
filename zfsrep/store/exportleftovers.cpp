#include "exportleftovers.h"

#include "trusteddirectories.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ExportLeftovers {

const QString kPartSuffix = QStringLiteral(".gz.zsa.part");

Place placeOf(const QString &directory, const QString &dataset)
{
    // The same resolution as the export file's own path: the name without
    // ":" taken relative to the export directory.
    QString name = dataset + QLatin1Char('@');
    name.remove(QLatin1Char(':'));
    const QFileInfo file(QDir(directory).absoluteFilePath(name));
    return Place{file.absolutePath(), file.fileName()};
}

bool isLeftover(const QString &fileName, const QString &prefix)
{
    return !prefix.isEmpty() && fileName.size() > prefix.size() + kPartSuffix.size()
           && fileName.startsWith(prefix) && fileName.endsWith(kPartSuffix);
}

QStringList remove(const Place &place)
{
    QStringList removed;
    const QDir dir(place.directory);
    // In a directory other users can write, a name of that form may be
    // theirs: nothing is removed there (an export refuses that directory).
    QString untrusted;
    if (place.prefix.size() < 2 || !dir.exists() || !TrustedDirectories::check(place.directory, untrusted))
        return removed;
    // No name filter: a dataset name may hold "*" or "[", which a wildcard
    // pattern would read as such.
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &name : names) {
        if (!isLeftover(name, place.prefix))
            continue;
        const QString path = dir.absoluteFilePath(name);
        if (QFile::remove(path))
            removed.append(path);
    }
    return removed;
}

} // namespace ExportLeftovers
