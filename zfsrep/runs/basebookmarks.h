// The bookmarks a send mission keeps of its incremental base on the source:
// after a run the target verified, every dataset of the tree that holds the
// base snapshot gets the mission's bookmark of it
// (DATASET#zfsrep_<msnno>_<stamp>, BookmarkCommands::nameFor), and only once
// that one exists are the mission's older bookmarks of that dataset
// destroyed. Should the base snapshot be destroyed later (a hold released by
// hand, another tool), the next run sends incrementally from the bookmark.
// Bookmarks of other missions and tools are never touched. A failed step is
// journaled and leaves the run's outcome alone: an old bookmark left is
// destroyed by a later run, a missing new one only costs the fallback.
// Used on the scheduler thread by the run it is made for (keep) or by the
// clean-up of a removed mission (dropAll).
#pragma once

#include "replicationside.h"

#include <QString>
#include <QStringList>

class TQ2Journals;

class BaseBookmarks
{
public:
    BaseBookmarks(const ReplicationSide &side, int msnno) : side(side), msnno(msnno) {}

    // Bookmarks `snapshot` (short name) on every dataset of the tree below
    // `dataset` that holds it, then destroys the mission's other bookmarks
    // of those datasets. Problems go to `journals` as failed entries.
    void keep(TQ2Journals &journals, const QString &dataset, const QString &snapshot) const;
    // Destroys every bookmark of the mission in the tree below `dataset`;
    // `destroyed` gets their full names. False (journaled) when the listing
    // or a destroy failed; a tree that is gone has none.
    bool dropAll(TQ2Journals &journals, const QString &dataset, QStringList &destroyed) const;

private:
    // The tree's bookmarks, and with `snapshot` (short name) that snapshot
    // wherever a dataset holds it. `fails`: a failure sets the journal's
    // error (dropAll), else it is only a failed entry (keep).
    bool listTree(TQ2Journals &journals, const QString &dataset, const QString &snapshot,
                  QMap<QString, DatasetListing> &tree, bool fails) const;
    bool destroy(TQ2Journals &journals, const QString &bookmark, bool fails) const;

    const ReplicationSide &side;
    const int msnno;
};
