#include "bookmarkoutput.h"

#include "zfsoutput.h"

namespace BookmarkOutput {

QMap<QString, DatasetListing> tree(const QByteArray &output, const QString &top)
{
    QMap<QString, DatasetListing> result;
    for (const QString &line : ZfsOutput::lines(output)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 3)
            continue;
        const QString &name = fields.at(0);
        const int at = name.indexOf(QLatin1Char('@'));
        const int hash = name.indexOf(QLatin1Char('#'));
        // One of the two marks, not both.
        if ((at < 0) == (hash < 0))
            continue;
        const int cut = at >= 0 ? at : hash;
        const QString dataset = name.left(cut);
        QString relative;
        if (dataset == top)
            relative.clear();
        else if (dataset.startsWith(top + QLatin1Char('/')) && dataset.size() > top.size() + 1)
            relative = dataset.mid(top.size() + 1);
        else
            continue;
        bool guidOk = false;
        bool txgOk = false;
        SnapshotInfo info;
        info.name = name.mid(cut + 1);
        info.guid = fields.at(1).trimmed().toULongLong(&guidOk);
        info.createtxg = fields.at(2).trimmed().toULongLong(&txgOk);
        if (!guidOk || !txgOk || info.name.isEmpty())
            continue;
        DatasetListing &listing = result[relative];
        (at >= 0 ? listing.snapshots : listing.bookmarks).append(info);
    }
    return result;
}

} // namespace BookmarkOutput
