#include "replicationplanner.h"

#include <QHash>

QString ReplicationPlan::kind() const
{
    switch (action) {
    case Nothing: return QStringLiteral("nothing");
    case Full: return QStringLiteral("full");
    case Incremental: return QStringLiteral("incremental");
    case Resume: return QStringLiteral("resume");
    case Refuse: break;
    }
    return QStringLiteral("refuse");
}

namespace ReplicationPlanner {

namespace {

ReplicationPlan refuse(const QString &reason)
{
    ReplicationPlan plan;
    plan.action = ReplicationPlan::Refuse;
    plan.reason = reason;
    return plan;
}

QString names(const QList<SnapshotInfo> &snapshots, int from)
{
    QStringList list;
    for (int i = from; i < snapshots.size(); ++i)
        list.append(snapshots.at(i).name);
    return list.join(QStringLiteral(", "));
}

// The target's newest snapshot is not on the source: it may live on in a
// bookmark of the source (same guid), which starts a stream to the source's
// newest. Without one the target cannot go on (`refusal`, which says so).
ReplicationPlan fromBookmark(const DatasetListing &source, const DatasetListing &target, const QString &refusal)
{
    const SnapshotInfo &newestTarget = target.snapshots.last();
    const SnapshotInfo &newest = source.snapshots.last();
    const SnapshotInfo *mark = nullptr;
    for (const SnapshotInfo &bookmark : source.bookmarks) {
        if (bookmark.guid == newestTarget.guid && bookmark.createtxg < newest.createtxg)
            mark = &bookmark;
    }
    if (!mark) {
        return refuse(refusal + QStringLiteral("; its newest, %1, is gone from the source and no bookmark holds it")
                                    .arg(newestTarget.name));
    }
    if (target.written > 0) {
        return refuse(QStringLiteral("the target was changed after its newest snapshot %1 (%2 bytes written)")
                          .arg(newestTarget.name)
                          .arg(target.written));
    }
    ReplicationPlan plan;
    plan.action = ReplicationPlan::Incremental;
    plan.fromBookmark = true;
    plan.base = mark->name;
    plan.target = newest.name;
    plan.reason = QStringLiteral("the base snapshot %1 is gone from the source: incremental stream from its bookmark #%2 to %3")
                      .arg(newestTarget.name, mark->name, newest.name);
    return plan;
}

} // namespace

ReplicationPlan plan(const DatasetListing &source, const DatasetListing &target)
{
    ReplicationPlan plan;
    if (!target.resumeToken.isEmpty()) {
        plan.action = ReplicationPlan::Resume;
        plan.token = target.resumeToken;
        plan.reason = QStringLiteral("resuming the interrupted transfer");
        return plan;
    }
    if (source.snapshots.isEmpty())
        return refuse(QStringLiteral("the source has no snapshot to send"));

    QHash<quint64, int> sourceByGuid;
    QHash<QString, quint64> sourceGuidByName;
    for (int i = 0; i < source.snapshots.size(); ++i) {
        sourceByGuid.insert(source.snapshots.at(i).guid, i);
        sourceGuidByName.insert(source.snapshots.at(i).name, source.snapshots.at(i).guid);
    }
    for (const SnapshotInfo &snapshot : target.snapshots) {
        const auto same = sourceGuidByName.constFind(snapshot.name);
        if (same != sourceGuidByName.constEnd() && same.value() != snapshot.guid)
            return refuse(QStringLiteral("snapshot %1 exists on both sides with different guids").arg(snapshot.name));
    }

    const SnapshotInfo &newest = source.snapshots.last();
    if (target.snapshots.isEmpty()) {
        if (target.exists)
            return refuse(QStringLiteral("the target exists but has no snapshots; it is not overwritten"));
        plan.action = ReplicationPlan::Full;
        plan.target = newest.name;
        plan.reason = QStringLiteral("the target has no snapshots: full stream up to %1").arg(newest.name);
        return plan;
    }

    int common = -1; // index into target.snapshots
    for (int i = target.snapshots.size() - 1; i >= 0 && common < 0; --i) {
        if (sourceByGuid.contains(target.snapshots.at(i).guid))
            common = i;
    }
    if (common < 0) {
        return fromBookmark(source, target,
                            QStringLiteral("the target has snapshots (%1) but none in common with the source")
                                .arg(names(target.snapshots, 0)));
    }
    const SnapshotInfo &base = target.snapshots.at(common);
    if (common + 1 < target.snapshots.size()) {
        return fromBookmark(source, target,
                            QStringLiteral("the target has snapshots newer than the common snapshot %1: %2")
                                .arg(base.name, names(target.snapshots, common + 1)));
    }
    if (base.guid == newest.guid) {
        plan.action = ReplicationPlan::Nothing;
        plan.base = base.name;
        plan.target = newest.name;
        plan.reason = QStringLiteral("the target is up to date at %1").arg(base.name);
        return plan;
    }
    // A receive onto a dataset changed after its base is refused by zfs
    // (without -F, which would roll the change back): refused here first.
    if (target.written > 0) {
        return refuse(QStringLiteral("the target was changed after its newest snapshot %1 (%2 bytes written)")
                          .arg(base.name)
                          .arg(target.written));
    }
    plan.action = ReplicationPlan::Incremental;
    plan.base = source.snapshots.at(sourceByGuid.value(base.guid)).name;
    plan.target = newest.name;
    plan.reason = QStringLiteral("incremental stream from %1 to %2").arg(plan.base, plan.target);
    return plan;
}

} // namespace ReplicationPlanner
