#include "snapshotpruner.h"

#include "commandreport.h"
#include "replicationoutput.h"
#include "retentioncommands.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"

#include <QSet>

namespace {

// Names a journal entry shows before it only counts the rest.
constexpr int kShownNames = 20;

QString datasetOf(const QString &top, const QString &relative)
{
    return relative.isEmpty() ? top : top + QLatin1Char('/') + relative;
}

QString shownNames(const QStringList &names)
{
    QString text = names.mid(0, kShownNames).join(QStringLiteral(", "));
    if (names.size() > kShownNames)
        text += QStringLiteral(" and %1 more").arg(names.size() - kShownNames);
    return text;
}

} // namespace

SnapshotPruner::SnapshotPruner(const ReplicationSide &source, const QString &sourceDataset,
                               const ReplicationSide *target, const QString &targetDataset, const QString &holdTag)
    : sourceSide(source), sourceTop(sourceDataset), targetSide(target), targetTop(targetDataset), ownTag(holdTag)
{
}

void SnapshotPruner::prune(TQ2Journals &journals, const PruneRequest &request, const QString &base,
                           PruneCounts &counts) const
{
    counts = PruneCounts();
    OwnerTree source;
    OwnerTree target;
    if (!listOwners(journals, sourceSide, sourceTop, source))
        return;
    if (targetSide && !listOwners(journals, *targetSide, targetTop, target))
        return;
    const PrunePlan plan =
        targetSide ? PrunePlanner::plan(source, target, request) : PrunePlanner::planSource(source, base, request);
    if (!plan.source.isEmpty())
        counts.source = pruneSide(journals, sourceSide, sourceTop, plan.source);
    if (targetSide && !plan.target.isEmpty())
        counts.target = pruneSide(journals, *targetSide, targetTop, plan.target);
}

bool SnapshotPruner::listOwners(TQ2Journals &journals, const ReplicationSide &side, const QString &top,
                                OwnerTree &tree) const
{
    tree.clear();
    const QStringList arguments = RetentionCommands::ownerTreeListArgs(top);
    const ProcessOutcome listed = side.runLines(arguments, [&](const QByteArray &line) {
        QString relative;
        OwnedSnapshot snapshot;
        if (OwnerListing::line(line, top, relative, snapshot))
            tree[relative].append(snapshot);
    });
    if (listed.succeeded())
        return true;
    journals.add(TQ2PLACE(), side.label() + ZfsCommands::commandText(ZfsCommands::kZfs, arguments), false,
                 CommandReport::errorText(listed), QString());
    return false;
}

int SnapshotPruner::pruneSide(TQ2Journals &journals, const ReplicationSide &side, const QString &top,
                              const QMap<QString, QStringList> &plan) const
{
    QStringList planned;
    for (auto it = plan.constBegin(); it != plan.constEnd(); ++it) {
        for (const QString &name : it.value())
            planned.append(datasetOf(top, it.key()) + QLatin1Char('@') + name);
    }
    // The side's own reports set a code; here a failure only prunes less,
    // so it is journaled as an entry of its own.
    TQ2Journals asked;
    QList<QPair<QString, QString>> holds;
    if (!side.holds(asked, planned, false, holds)) {
        journals.add(TQ2PLACE(), side.label() + QStringLiteral("zfs holds"), false, asked.errmsg(), QString());
        return 0;
    }
    QSet<QString> ownHeld;
    QMap<QString, QStringList> heldBy;
    for (const auto &hold : holds) {
        if (hold.second == ownTag)
            ownHeld.insert(hold.first);
        else
            heldBy[hold.first].append(hold.second);
    }
    QMap<QString, QStringList> going; // full dataset name -> short names
    QStringList goingNames;
    for (const QString &snapshot : planned) {
        if (heldBy.contains(snapshot)) {
            journals.add(TQ2PLACE(), QStringLiteral("keep ") + side.label() + snapshot, true,
                         QStringLiteral("kept %1: held by %2").arg(side.label() + snapshot, heldBy.value(snapshot).join(QStringLiteral(", "))),
                         QString());
            continue;
        }
        const int at = snapshot.indexOf(QLatin1Char('@'));
        going[snapshot.left(at)].append(snapshot.mid(at + 1));
        goingNames.append(snapshot);
    }
    if (goingNames.isEmpty())
        return 0;
    const QStringList released(ownHeld.begin(), ownHeld.end());
    if (!released.isEmpty() && !side.release(asked, ownTag, released)) {
        journals.add(TQ2PLACE(), side.label() + QStringLiteral("zfs release ") + ownTag, false, asked.errmsg(),
                     QString());
        return 0;
    }
    for (const QList<QStringList> &group : RetentionCommands::destroyGroups(going)) {
        const ProcessOutcome destroyed = side.runSequence(group);
        if (!destroyed.succeeded() && !destroyed.cancelled)
            journals.add(TQ2PLACE(), side.label() + RetentionCommands::sequenceText(ZfsCommands::kZfs, group), false,
                         CommandReport::errorText(destroyed), QString());
    }
    // What went is what the side no longer lists.
    OwnerTree after;
    if (!listOwners(journals, side, top, after))
        return 0;
    QSet<QString> still;
    for (auto it = after.constBegin(); it != after.constEnd(); ++it) {
        for (const OwnedSnapshot &snapshot : it.value())
            still.insert(datasetOf(top, it.key()) + QLatin1Char('@') + snapshot.info.name);
    }
    QStringList pruned;
    for (const QString &snapshot : goingNames) {
        if (!still.contains(snapshot))
            pruned.append(snapshot);
    }
    if (!pruned.isEmpty())
        journals.add(TQ2PLACE(), QStringLiteral("prune ") + side.label() + top, true,
                     QStringLiteral("pruned %1 snapshot(s) on %2%3: %4")
                         .arg(pruned.size())
                         .arg(side.label(), top, shownNames(pruned)),
                     QString());
    return pruned.size();
}
