// Carries out a pruning after a verified run: lists the trees of both sides
// with their owner marks, asks the prune planner what may go, leaves out
// every snapshot another tag holds (another tool's, another mission's),
// releases the mission's own tag from what goes, destroys the rest (on a
// remote side in one remote command per tree, split below the argument
// limit) and counts what the sides' listings no longer show. The journal
// says what was pruned and what was kept for a hold; a failed command is
// journaled (without a code: the run itself succeeded) and prunes less.
//
// Used on the scheduler thread by a run that succeeded and was not
// cancelled; every command carries the sides' cancel token.
#pragma once

#include "pruneplanner.h"
#include "replicationside.h"

class TQ2Journals;

struct PruneCounts {
    int source = 0; // snapshots destroyed, one per dataset and name
    int target = 0;
};

class SnapshotPruner
{
public:
    // `target` null: the source alone (an export). `holdTag`: the tag of the
    // mission's own holds.
    SnapshotPruner(const ReplicationSide &source, const QString &sourceDataset, const ReplicationSide *target,
                   const QString &targetDataset, const QString &holdTag);

    // Prunes by `request`; with no target, `base` (short name, the snapshot
    // the run exported) stands for the target's newest.
    void prune(TQ2Journals &journals, const PruneRequest &request, const QString &base, PruneCounts &counts) const;

private:
    bool listOwners(TQ2Journals &journals, const ReplicationSide &side, const QString &top, OwnerTree &tree) const;
    int pruneSide(TQ2Journals &journals, const ReplicationSide &side, const QString &top,
                  const QMap<QString, QStringList> &plan) const;

    const ReplicationSide &sourceSide;
    QString sourceTop;
    const ReplicationSide *targetSide;
    QString targetTop;
    QString ownTag;
};
