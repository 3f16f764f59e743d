// Decides the next step of replicating a whole dataset tree, from the two
// sides' tree listings only. One step at a time; the replicator carries it
// out, lists the target again and asks for the next, until the target holds
// the source's snapshot on every dataset of the tree:
//   1. an interrupted receive anywhere in the target tree is resumed first
//      (parents before children);
//   2. every dataset the two trees share is checked against its source
//      (ReplicationPlanner): one that shares no snapshot with it, holds a
//      snapshot of the same name with another guid, or holds snapshots
//      newer than the common one makes the step a refusal naming each such
//      dataset, before any stream, so a package is never half applied;
//   3. the top is planned as a single dataset; a full stream of the top
//      carries the whole tree (-R);
//   4. every descendant is brought to the top's common snapshot with a stream
//      of its own (full or incremental), so an incremental package of the
//      tree always finds its base on every dataset;
//   5. the top's incremental stream (-R) carries the tree onwards; source
//      datasets without its snapshot (a child younger than it, a snapshot
//      taken on the top alone) are named in the step: the send warns about
//      them, and they are not sent;
//   6. those datasets then get streams of their own up to their own newest
//      snapshot;
//   (when any dataset lacks its target's newest snapshot but continues from
//   a bookmark of it, which no tree stream can start from,
//   every dataset of the tree goes on by a stream of its own, parents
//   first, before the steps below)
//   7. done: every dataset that has the snapshot at the source holds it, with
//      the same guid, at the target, and every other one holds its newest.
// A refusal names the dataset and the snapshots involved. Pure: no I/O.
#pragma once

#include "replicationplanner.h"
#include "snapshotlisting.h"

struct TreeStep {
    enum Action { Done, Stream, Refuse };
    Action action = Refuse;
    // The plan of the step: Full, Incremental or Resume for a stream; for
    // Done, `target` is the snapshot the tree holds now.
    ReplicationPlan plan;
    QString relative;       // the dataset of the step, below the top ("" the top)
    bool recursive = false; // a stream of the whole tree from the top (-R)
    QString reason;         // one line for the journal
    // A recursive stream: the source datasets (below the top) that lack the
    // stream's snapshot; `zfs send` warns that it could not send them.
    QStringList lacking;
};

namespace TreePlanner {

TreeStep next(const TreeListing &source, const TreeListing &target);

// The datasets present in both trees (the top included) that no stream can
// bring to the source's state without destroying something on the target,
// each as "DATASET: reason" ("the top" for the top's own reason alone);
// datasets with a pending receive are left to their resume.
QStringList conflicts(const TreeListing &source, const TreeListing &target);

// Whether the source's bookmarks are worth listing: a dataset present on
// both sides whose target's newest snapshot is not on the source (the base
// may live on in a bookmark), and no receive pending.
bool wantsBookmarks(const TreeListing &source, const TreeListing &target);

// Whether any dataset of `target` holds the source's snapshot `name` (the
// same guid as on the source's dataset of the same place).
bool holds(const TreeListing &source, const TreeListing &target, const QString &name);

// The listing of every dataset cut after the snapshot `name` (datasets
// without it keep none); used for a bound ("DATASET@SNAPSHOT").
TreeListing upTo(const TreeListing &listing, const QString &name);

} // namespace TreePlanner
