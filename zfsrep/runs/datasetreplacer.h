// Puts a received dataset tree in the place of a local one, only once it
// arrived whole. A pull or restore receives into the staging sibling
// (NAME + kIncomingSuffix); then the old dataset is moved aside
// (NAME + kPreviousSuffix, renamed without unmounting), the new one renamed
// into place and the old one removed, and the dataset is mounted under /mnt.
// Snapshots of the old tree that another tool holds (any tag but the
// mission's own "zfsrep-<msnno>") stop the replacement: the step fails naming
// the snapshot and the tag, and nothing of another tool is released. A
// received tree that cannot take the place yet (a busy dataset, a foreign
// hold) is kept for the next run, which then has nothing more to transfer.
// Leftovers of an interrupted run are recovered first. Every command has a
// finish timeout; work commands (renames, destroys, the mount step) carry
// the run's cancel token; the renames that put things back do not, so a
// cancel never leaves the old dataset aside. Lists of snapshots go to zfs in
// batches below the argument limit.
// Used on the scheduler thread by the run it is made for.
#pragma once

#include "localqueries.h"
#include "replicationside.h"

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

class Run;
struct RunServices;

class DatasetReplacer
{
public:
    static const QString kIncomingSuffix; // ".zfsrep-incoming"
    static const QString kPreviousSuffix; // ".zfsrep-previous"

    DatasetReplacer(Run &run, const RunServices &services);

    // Receives with `receive` into the incoming sibling of pool/name and only
    // once that succeeded puts it in the dataset's place and mounts it under
    // /mnt. `items` is the pool's dataset map. With `resumable` (a pull, which
    // plans from what the staging tree holds) a staging tree is kept across
    // runs until it is complete, unless the planner refused it; without (a
    // restore, one stream from a file) a partial one is destroyed before and
    // after. The existing dataset is untouched unless the receive succeeded.
    bool receiveReplacing(const QString &pool, const QString &name, const QJsonObject &items, bool resumable,
                          const std::function<bool(const QString &incoming)> &receive);
    // Mount step: "/mnt/" + dataset made (one level), then its mount point
    // set. A failure is journaled and false.
    bool mountUnderMnt(const QString &dataset);

private:
    // `cancellable`: the run's cancel token ends it (a step that puts the
    // old dataset back is not).
    bool rename(const QString &from, const QString &to, bool cancellable);
    // The old dataset is moved aside, the new one renamed into place, then
    // the old one removed (holds released). A failed rename puts the old
    // one back.
    bool replace(const QString &incoming, const QString &target, bool targetExists);
    void destroyIncoming(const QString &incoming);
    // Every hold on the tree's snapshots (snapshot, tag): one listing, one
    // holds query. False when either failed.
    bool treeHolds(const QString &dataset, QList<QPair<QString, QString>> &holds);
    // Fails (journaled) when a snapshot of the tree is held by another tag
    // than the mission's own.
    bool checkForeignHolds(const QString &dataset, const QList<QPair<QString, QString>> &holds);
    bool checkForeignHolds(const QString &dataset);
    // Releases the mission's own holds on the tree, then destroys it.
    bool destroyTree(const QString &dataset);

    Run &run;
    const RunServices &services;
};
