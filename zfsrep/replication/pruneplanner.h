// Decides what a verified run prunes on each side of a replication: the
// mission's own snapshots (OwnSnapshots) that its rule for that side does
// not keep (RetentionRule), per dataset of the tree. Never chosen: the
// newest snapshot the target holds with the source's guid (the next base)
// on either side, anything on the source newer than that base (not yet on
// the target), anything on the target newer than it, and anything of a
// dataset without such a base. Holds are not known here: the pruner leaves
// out what another tag holds.
//
// Pure: listings in, plan out.
#pragma once

#include "ownerlisting.h"
#include "retentionrule.h"

#include <QMap>
#include <QString>
#include <QStringList>

struct PruneRequest {
    QString series;    // the mission's snapshot series
    QString mark;      // its owner mark (empty: unmarked snapshots only)
    RetentionRule sourceRule; // empty: the source is not pruned
    RetentionRule targetRule; // empty: the target is not pruned
};

struct PrunePlan {
    // Per dataset (name below the top), the short names to destroy, oldest first.
    QMap<QString, QStringList> source;
    QMap<QString, QStringList> target;

    bool isEmpty() const { return source.isEmpty() && target.isEmpty(); }
};

namespace PrunePlanner {

PrunePlan plan(const OwnerTree &source, const OwnerTree &target, const PruneRequest &request);
// The source alone, where no target is listed (an export): the snapshot
// `base` (short name) takes the base's place on every dataset that has it.
PrunePlan planSource(const OwnerTree &source, const QString &base, const PruneRequest &request);

// The snapshots of one side's dataset that `rule` lets go: own, stamped,
// not kept, not the base (index `base` into `snapshots`), not after it.
QStringList released(const QList<OwnedSnapshot> &snapshots, int base, const RetentionRule &rule,
                     const QString &series, const QString &mark);

} // namespace PrunePlanner
