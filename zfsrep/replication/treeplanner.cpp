#include "treeplanner.h"

namespace TreePlanner {

namespace {

int indexOf(const DatasetListing &listing, const QString &name)
{
    for (int i = 0; i < listing.snapshots.size(); ++i) {
        if (listing.snapshots.at(i).name == name)
            return i;
    }
    return -1;
}

bool holdsGuid(const DatasetListing &listing, quint64 guid)
{
    for (const SnapshotInfo &snapshot : listing.snapshots) {
        if (snapshot.guid == guid)
            return true;
    }
    return false;
}

QString shown(const QString &relative) { return relative.isEmpty() ? QStringLiteral("the top") : relative; }

TreeStep refuse(const QString &relative, const QString &reason)
{
    TreeStep step;
    step.action = TreeStep::Refuse;
    step.relative = relative;
    step.reason = relative.isEmpty() ? reason : relative + QStringLiteral(": ") + reason;
    return step;
}

TreeStep stream(const ReplicationPlan &plan, const QString &relative, bool recursive)
{
    TreeStep step;
    step.action = TreeStep::Stream;
    step.plan = plan;
    step.relative = relative;
    step.recursive = recursive;
    step.reason = relative.isEmpty() ? plan.reason : relative + QStringLiteral(": ") + plan.reason;
    return step;
}

} // namespace

TreeStep next(const TreeListing &source, const TreeListing &target)
{
    for (auto it = target.datasets.constBegin(); it != target.datasets.constEnd(); ++it) {
        if (it.value().resumeToken.isEmpty())
            continue;
        ReplicationPlan resume;
        resume.action = ReplicationPlan::Resume;
        resume.token = it.value().resumeToken;
        resume.reason = QStringLiteral("resuming the interrupted transfer of %1").arg(shown(it.key()));
        return stream(resume, it.key(), false);
    }

    const ReplicationPlan top = ReplicationPlanner::plan(source.top(), target.top());
    if (top.action == ReplicationPlan::Refuse)
        return refuse(QString(), top.reason);
    if (top.action == ReplicationPlan::Full)
        return stream(top, QString(), true);
    // The snapshot every dataset must hold before the tree goes on from it.
    const QString base = top.action == ReplicationPlan::Incremental ? top.base : top.target;
    for (auto it = source.datasets.constBegin(); it != source.datasets.constEnd(); ++it) {
        if (it.key().isEmpty())
            continue;
        const int at = indexOf(it.value(), base);
        if (at < 0)
            continue; // younger than the base: the tree's next stream brings it
        const DatasetListing wanted = target.datasets.value(it.key());
        if (holdsGuid(wanted, it.value().snapshots.at(at).guid))
            continue;
        DatasetListing upToBase = it.value();
        upToBase.snapshots = upToBase.snapshots.mid(0, at + 1);
        ReplicationPlan fill = ReplicationPlanner::plan(upToBase, wanted);
        if (fill.action == ReplicationPlan::Full && upToBase.snapshots.size() > 1) {
            // A stream of one dataset carries one snapshot: the oldest goes
            // first, and an incremental (-I) then brings every snapshot up to
            // the base, so the dataset keeps the history the tree stream
            // would have given it.
            fill.target = upToBase.snapshots.first().name;
            fill.reason = QStringLiteral("missing: full stream of its oldest snapshot %1").arg(fill.target);
        }
        if (fill.action == ReplicationPlan::Refuse)
            return refuse(it.key(), fill.reason);
        if (fill.action != ReplicationPlan::Nothing)
            return stream(fill, it.key(), false);
    }
    if (top.action == ReplicationPlan::Incremental)
        return stream(top, QString(), true);
    TreeStep done;
    done.action = TreeStep::Done;
    done.plan = top;
    done.reason = QStringLiteral("every dataset of the tree holds %1").arg(top.target);
    return done;
}

bool holds(const TreeListing &source, const TreeListing &target, const QString &name)
{
    for (auto it = source.datasets.constBegin(); it != source.datasets.constEnd(); ++it) {
        const int at = indexOf(it.value(), name);
        if (at >= 0 && holdsGuid(target.datasets.value(it.key()), it.value().snapshots.at(at).guid))
            return true;
    }
    return false;
}

TreeListing upTo(const TreeListing &listing, const QString &name)
{
    TreeListing cut = listing;
    for (auto it = cut.datasets.begin(); it != cut.datasets.end(); ++it) {
        const int at = indexOf(it.value(), name);
        it.value().snapshots = it.value().snapshots.mid(0, at + 1);
    }
    return cut;
}

} // namespace TreePlanner
