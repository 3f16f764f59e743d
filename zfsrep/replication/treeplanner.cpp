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

// The tree's stream up to `snapshot`, naming the source datasets without it.
TreeStep treeStream(const TreeListing &source, const ReplicationPlan &plan)
{
    TreeStep step = stream(plan, QString(), true);
    for (auto it = source.datasets.constBegin(); it != source.datasets.constEnd(); ++it) {
        if (!it.key().isEmpty() && indexOf(it.value(), plan.target) < 0)
            step.lacking.append(it.key());
    }
    return step;
}

// The stream of one dataset alone that brings `wanted` to the newest of
// `mine`; Done when it holds that already.
TreeStep ownStream(const DatasetListing &mine, const DatasetListing &wanted, const QString &relative)
{
    ReplicationPlan plan = ReplicationPlanner::plan(mine, wanted);
    if (plan.action == ReplicationPlan::Full && mine.snapshots.size() > 1) {
        // A stream of one dataset carries one snapshot: the oldest goes
        // first, and an incremental (-I) then brings every snapshot up to
        // the newest, so the dataset keeps the history a tree stream would
        // have given it.
        plan.target = mine.snapshots.first().name;
        plan.reason = QStringLiteral("missing: full stream of its oldest snapshot %1").arg(plan.target);
    }
    if (plan.action == ReplicationPlan::Refuse)
        return refuse(relative, plan.reason);
    if (plan.action != ReplicationPlan::Nothing)
        return stream(plan, relative, false);
    TreeStep done;
    done.action = TreeStep::Done;
    return done;
}

// The datasets both trees hold that the source's streams cannot continue:
// (relative name, the planner's reason).
QList<QPair<QString, QString>> misfitsOf(const TreeListing &source, const TreeListing &target)
{
    QList<QPair<QString, QString>> found;
    for (auto it = target.datasets.constBegin(); it != target.datasets.constEnd(); ++it) {
        const DatasetListing mine = source.datasets.value(it.key());
        // A dataset only the target has, or one the source has nothing of
        // yet, is no stream's business; a pending receive is resumed first.
        if (!it.value().exists || !mine.exists || mine.snapshots.isEmpty() || !it.value().resumeToken.isEmpty())
            continue;
        const ReplicationPlan plan = ReplicationPlanner::plan(mine, it.value());
        if (plan.action == ReplicationPlan::Refuse)
            found.append({it.key(), plan.reason});
    }
    return found;
}

// When some dataset continues from a bookmark: the first dataset (parents
// first) that needs a stream of its own; Done when none continues so.
TreeStep bookmarkStep(const TreeListing &source, const TreeListing &target)
{
    bool any = false;
    for (auto it = source.datasets.constBegin(); it != source.datasets.constEnd() && !any; ++it) {
        const DatasetListing wanted = target.datasets.value(it.key());
        any = it.value().exists && !it.value().snapshots.isEmpty() && wanted.exists
              && ReplicationPlanner::plan(it.value(), wanted).fromBookmark;
    }
    TreeStep done;
    done.action = TreeStep::Done;
    if (!any)
        return done;
    for (auto it = source.datasets.constBegin(); it != source.datasets.constEnd(); ++it) {
        if (it.value().snapshots.isEmpty())
            continue;
        const TreeStep own = ownStream(it.value(), target.datasets.value(it.key()), it.key());
        if (own.action != TreeStep::Done)
            return own;
    }
    return done;
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

    const QList<QPair<QString, QString>> misfits = misfitsOf(source, target);
    if (misfits.size() == 1)
        return refuse(misfits.first().first, misfits.first().second);
    if (!misfits.isEmpty()) {
        TreeStep step = refuse(misfits.first().first, misfits.first().second);
        step.reason = conflicts(source, target).join(QStringLiteral("; "));
        return step;
    }
    const TreeStep viaBookmark = bookmarkStep(source, target);
    if (viaBookmark.action != TreeStep::Done)
        return viaBookmark;
    const ReplicationPlan top = ReplicationPlanner::plan(source.top(), target.top());
    if (top.action == ReplicationPlan::Refuse)
        return refuse(QString(), top.reason);
    if (top.action == ReplicationPlan::Full)
        return treeStream(source, top);
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
        const TreeStep fill = ownStream(upToBase, wanted, it.key());
        if (fill.action != TreeStep::Done)
            return fill;
    }
    if (top.action == ReplicationPlan::Incremental)
        return treeStream(source, top);
    // The tree holds the top's newest snapshot. A dataset that lacks it (a
    // child younger than the last recursive snapshot, a snapshot taken on
    // the top alone) was not in the tree's stream: it gets streams of its
    // own up to its own newest snapshot.
    for (auto it = source.datasets.constBegin(); it != source.datasets.constEnd(); ++it) {
        if (it.key().isEmpty() || it.value().snapshots.isEmpty() || indexOf(it.value(), top.target) >= 0)
            continue;
        const TreeStep own = ownStream(it.value(), target.datasets.value(it.key()), it.key());
        if (own.action != TreeStep::Done)
            return own;
    }
    TreeStep done;
    done.action = TreeStep::Done;
    done.plan = top;
    done.reason = QStringLiteral("every dataset of the tree holds %1").arg(top.target);
    return done;
}

QStringList conflicts(const TreeListing &source, const TreeListing &target)
{
    QStringList found;
    for (const auto &misfit : misfitsOf(source, target))
        found.append(misfit.first.isEmpty() ? misfit.second : misfit.first + QStringLiteral(": ") + misfit.second);
    return found;
}

bool wantsBookmarks(const TreeListing &source, const TreeListing &target)
{
    for (auto it = target.datasets.constBegin(); it != target.datasets.constEnd(); ++it) {
        const DatasetListing mine = source.datasets.value(it.key());
        if (!it.value().exists || it.value().snapshots.isEmpty() || !it.value().resumeToken.isEmpty() || !mine.exists
            || mine.snapshots.isEmpty())
            continue;
        if (!holdsGuid(mine, it.value().snapshots.last().guid))
            return true;
    }
    return false;
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
