// Decides the next step of replicating a whole dataset tree, from the two
// sides' tree listings only. One step at a time; the replicator carries it
// out, lists the target again and asks for the next, until the target holds
// the source's snapshot on every dataset of the tree:
//   1. an interrupted receive anywhere in the target tree is resumed first
//      (parents before children);
//   2. the top is planned as a single dataset (ReplicationPlanner); a full
//      stream of the top carries the whole tree (-R);
//   3. every descendant is brought to the top's common snapshot with a stream
//      of its own (full or incremental), so an incremental package of the
//      tree always finds its base on every dataset;
//   4. the top's incremental stream (-R) carries the tree onwards;
//   5. done: every dataset that has the snapshot at the source holds it, with
//      the same guid, at the target.
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
};

namespace TreePlanner {

TreeStep next(const TreeListing &source, const TreeListing &target);

// Whether any dataset of `target` holds the source's snapshot `name` (the
// same guid as on the source's dataset of the same place).
bool holds(const TreeListing &source, const TreeListing &target, const QString &name);

// The listing of every dataset cut after the snapshot `name` (datasets
// without it keep none); used for a bound ("DATASET@SNAPSHOT").
TreeListing upTo(const TreeListing &listing, const QString &name);

} // namespace TreePlanner
