// A send mission (action 1): once the remote host is reached and holds the
// replica or its parent, a new recursive snapshot of the series is
// replicated, with the dataset's descendants, to PATH/NAME on the remote
// host as a read-only, unmounted, resumable replica; the newest common
// snapshot keeps the mission's hold and bookmark (BaseBookmarks) as the next
// base, and older snapshots of
// the series are erased when the mission asks for it. A run that fails
// before any stream began, or whose target does not hold the snapshot,
// destroys it again.
#pragma once

#include "replicator.h"
#include "runservices.h"

class Run;
class SshControl;
struct Mission;

class SendRun
{
public:
    explicit SendRun(const RunServices &services) : services(services) {}

    // Runs the mission of `run` and writes its event record; false with the
    // run's journal saying why.
    bool execute(Run &run);

    // The replication step alone: the dataset to the remote host over one
    // ssh login (no snapshot made, no hold moved, no event).
    bool replicate(Run &run, ReplicationResult &replicated);

private:
    // The same over the run's connection master.
    bool replicate(Run &run, const SshControl &control, ReplicationResult &replicated);
    static QString targetOf(const Mission &mission);

    const RunServices &services;
};
