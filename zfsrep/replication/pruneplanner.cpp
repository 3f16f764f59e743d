#include "pruneplanner.h"

#include "ownsnapshots.h"

#include <QSet>

namespace PrunePlanner {

namespace {

int indexOfGuid(const QList<OwnedSnapshot> &snapshots, quint64 guid)
{
    for (int i = 0; i < snapshots.size(); ++i) {
        if (snapshots.at(i).info.guid == guid)
            return i;
    }
    return -1;
}

} // namespace

QStringList released(const QList<OwnedSnapshot> &snapshots, int base, const RetentionRule &rule,
                     const QString &series, const QString &mark)
{
    QStringList gone;
    if (rule.isEmpty() || base < 0)
        return gone;
    QList<StampedSnapshot> own;
    for (const OwnedSnapshot &snapshot : snapshots) {
        StampedSnapshot stamped;
        if (OwnSnapshots::isOwn(snapshot.info.name, snapshot.owner, series, mark)
            && OwnSnapshots::stampOf(snapshot.info.name, series, stamped))
            own.append(stamped);
    }
    const QSet<QString> kept = rule.keep(own);
    QSet<QString> candidates;
    for (const StampedSnapshot &stamped : own) {
        if (!kept.contains(stamped.name))
            candidates.insert(stamped.name);
    }
    // Listing order is creation order: only what lies before the base.
    for (int i = 0; i < base; ++i) {
        const QString &name = snapshots.at(i).info.name;
        if (candidates.contains(name) && !gone.contains(name))
            gone.append(name);
    }
    return gone;
}

PrunePlan plan(const OwnerTree &source, const OwnerTree &target, const PruneRequest &request)
{
    PrunePlan result;
    for (auto it = target.constBegin(); it != target.constEnd(); ++it) {
        const QList<OwnedSnapshot> &onTarget = it.value();
        const QList<OwnedSnapshot> onSource = source.value(it.key());
        // The newest snapshot of the target that the source holds too.
        int targetBase = -1;
        int sourceBase = -1;
        for (int i = onTarget.size() - 1; i >= 0 && sourceBase < 0; --i) {
            sourceBase = indexOfGuid(onSource, onTarget.at(i).info.guid);
            if (sourceBase >= 0)
                targetBase = i;
        }
        if (sourceBase < 0)
            continue; // no common snapshot: nothing on this dataset is judged
        const QStringList fromSource =
            released(onSource, sourceBase, request.sourceRule, request.series, request.mark);
        const QStringList fromTarget =
            released(onTarget, targetBase, request.targetRule, request.series, request.mark);
        if (!fromSource.isEmpty())
            result.source.insert(it.key(), fromSource);
        if (!fromTarget.isEmpty())
            result.target.insert(it.key(), fromTarget);
    }
    return result;
}

PrunePlan planSource(const OwnerTree &source, const QString &base, const PruneRequest &request)
{
    PrunePlan result;
    for (auto it = source.constBegin(); it != source.constEnd(); ++it) {
        int index = -1;
        for (int i = 0; i < it.value().size() && index < 0; ++i) {
            if (it.value().at(i).info.name == base)
                index = i;
        }
        const QStringList gone = released(it.value(), index, request.sourceRule, request.series, request.mark);
        if (!gone.isEmpty())
            result.source.insert(it.key(), gone);
    }
    return result;
}

} // namespace PrunePlanner
