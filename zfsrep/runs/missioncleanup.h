// What a removed mission leaves behind, cleaned up after its last run ended:
//   send: its hold tag ("zfsrep-<msnno>") released from the snapshots of its
//         local tree, its bookmarks of the base destroyed, and a cut receive of its replica on the remote host
//         aborted (the partial state it owns there);
//   pull: its local staging tree (DATASET.zfsrep-incoming, with a cut
//         receive in it) destroyed, its own holds on it released first;
//   mirror: its hold tag released and its bookmarks destroyed in the remote
//         tree it pulls from (over ssh), and a cut receive of its local
//         replica aborted.
// Exports and restores keep nothing between runs. A remote host that cannot
// be reached is recorded in the event log and not tried again; what was
// cleaned goes to the event log too. Every command has a finish timeout.
// Used on the scheduler thread, with the mission as it was read before its
// row was removed.
#pragma once

#include "mission.h"

#include <QStringList>

struct RunServices;
class ReplicationSide;

class MissionCleanup
{
public:
    explicit MissionCleanup(const RunServices &services) : services(services) {}

    void clean(const Mission &mission);

private:
    // Releases the mission's tag from every snapshot of `dataset`'s tree.
    void releaseHolds(const Mission &mission, const ReplicationSide &side, const QString &dataset);
    // Destroys the mission's bookmarks in `dataset`'s tree (BaseBookmarks).
    void dropBookmarks(const Mission &mission, const ReplicationSide &side, const QString &dataset);
    // A mirror's: the remote tree's hold and bookmarks, the local replica's
    // cut receive.
    void cleanMirror(const Mission &mission, const ReplicationSide &local);
    // Aborts every cut receive in the tree below `dataset`.
    void abortReceives(const ReplicationSide &side, const QString &dataset);
    void destroyStaging(const Mission &mission);
    void record(const Mission &mission);

    const RunServices &services;
    QStringList done;     // what was cleaned, one phrase each
    QStringList problems; // what could not be
};
