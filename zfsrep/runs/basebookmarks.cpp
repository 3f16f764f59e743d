#include "basebookmarks.h"

#include "bookmarkcommands.h"
#include "bookmarkoutput.h"
#include "commandreport.h"
#include "replicationoutput.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"

namespace {

// A step of keep() is journaled as a failed entry only (the run stays what
// it was); one of dropAll() as the failure it reports.
void report(TQ2Journals &journals, bool fails, const QString &place, const QString &command, const QString &error)
{
    if (fails)
        CommandReport::commandFailed(journals, place, command, error);
    else
        journals.add(place, command, false, error, QString());
}

QString datasetOf(const QString &top, const QString &relative)
{
    return relative.isEmpty() ? top : top + QLatin1Char('/') + relative;
}

const SnapshotInfo *named(const QList<SnapshotInfo> &list, const QString &name)
{
    for (const SnapshotInfo &info : list) {
        if (info.name == name)
            return &info;
    }
    return nullptr;
}

} // namespace

bool BaseBookmarks::listTree(TQ2Journals &journals, const QString &dataset, const QString &snapshot,
                             QMap<QString, DatasetListing> &tree, bool fails) const
{
    const QStringList args = BookmarkCommands::treeListArgs(dataset, !snapshot.isEmpty());
    // A history of any length is read as a stream: only the bookmarks and
    // the lines of `snapshot` are kept.
    const QByteArray wanted = '@' + snapshot.toUtf8() + '\t';
    QByteArray kept;
    const ProcessOutcome listed = side.runLines(args, [&](const QByteArray &line) {
        const int tab = line.indexOf('\t');
        if (tab > 0 && (line.left(tab).contains('#') || line.contains(wanted)))
            kept += line + '\n';
    });
    if (!listed.succeeded()) {
        const QString error = CommandReport::errorText(listed);
        // A tree that is gone holds no bookmark.
        if (listed.started && listed.finished && ReplicationOutput::isMissingDataset(error))
            return true;
        report(journals, fails, TQ2PLACE(), side.label() + ZfsCommands::commandText(ZfsCommands::kZfs, args), error);
        return false;
    }
    tree = BookmarkOutput::tree(kept, dataset);
    return true;
}

bool BaseBookmarks::destroy(TQ2Journals &journals, const QString &bookmark, bool fails) const
{
    const QStringList args = BookmarkCommands::destroyArgs(bookmark);
    const ProcessOutcome destroyed = side.run(args);
    if (destroyed.succeeded())
        return true;
    report(journals, fails, TQ2PLACE(), side.label() + ZfsCommands::commandText(ZfsCommands::kZfs, args),
           CommandReport::errorText(destroyed));
    return false;
}

void BaseBookmarks::keep(TQ2Journals &journals, const QString &dataset, const QString &snapshot) const
{
    QMap<QString, DatasetListing> tree;
    if (!listTree(journals, dataset, snapshot, tree, false))
        return;
    const QString name = BookmarkCommands::nameFor(msnno, snapshot);
    for (auto it = tree.constBegin(); it != tree.constEnd(); ++it) {
        const SnapshotInfo *base = named(it.value().snapshots, snapshot);
        if (!base)
            continue; // a dataset without the base keeps the bookmark it has
        const QString full = datasetOf(dataset, it.key());
        const SnapshotInfo *mark = named(it.value().bookmarks, name);
        if (!mark) {
            const QStringList args = BookmarkCommands::createArgs(full + QLatin1Char('@') + snapshot,
                                                                  full + QLatin1Char('#') + name);
            const ProcessOutcome made = side.run(args);
            if (!made.succeeded()) {
                journals.add(TQ2PLACE(), side.label() + ZfsCommands::commandText(ZfsCommands::kZfs, args), false,
                             CommandReport::errorText(made), QString());
                continue; // the older bookmark stays the fallback
            }
        } else if (mark->guid != base->guid) {
            continue; // not the base's: left alone, and so are the older ones
        }
        for (const SnapshotInfo &older : it.value().bookmarks) {
            if (older.name != name && BookmarkCommands::isMissions(msnno, older.name))
                destroy(journals, full + QLatin1Char('#') + older.name, false);
        }
    }
}

bool BaseBookmarks::dropAll(TQ2Journals &journals, const QString &dataset, QStringList &destroyed) const
{
    QMap<QString, DatasetListing> tree;
    if (!listTree(journals, dataset, QString(), tree, true))
        return false;
    bool ok = true;
    for (auto it = tree.constBegin(); it != tree.constEnd(); ++it) {
        for (const SnapshotInfo &mark : it.value().bookmarks) {
            if (!BookmarkCommands::isMissions(msnno, mark.name))
                continue;
            const QString full = datasetOf(dataset, it.key()) + QLatin1Char('#') + mark.name;
            if (destroy(journals, full, true))
                destroyed.append(full);
            else
                ok = false;
        }
    }
    return ok;
}
