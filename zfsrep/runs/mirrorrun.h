// A mirror mission (action 5): this machine is the backup host and pulls
// from the production host. Once the local replica POOL/NAME or its parent
// is found here and the remote host logs in with its recorded key, the
// remote tree PATH gets a new recursive snapshot of the mission's series
// (marked as the mission's own), made over the run's one ssh login; the
// tree is replicated into POOL/NAME as a read-only, unmounted, resumable
// replica (the receive of a send's replica, with the sides exchanged); the
// newest common snapshot keeps the mission's hold and bookmark on the remote
// host as the next base; the retention rules prune both sides and, without
// a source rule, `erase` removes the series' older snapshots on the remote
// host. A run that fails before any stream began, or whose replica does not
// hold the snapshot, destroys that snapshot on the remote host again.
// Used on the scheduler thread.
#pragma once

#include "replicator.h"
#include "runservices.h"

class Run;
class SshControl;

class MirrorRun
{
public:
    explicit MirrorRun(const RunServices &services) : services(services) {}

    // Runs the mission of `run` and writes its event record; false with the
    // run's journal saying why.
    bool execute(Run &run);

private:
    // The snapshot `snapshot` is made; the stream of the remote tree into
    // the replica, then the base kept and the series pruned or erased.
    bool replicate(Run &run, const SshControl &control, const QString &snapshot);

    const RunServices &services;
};
