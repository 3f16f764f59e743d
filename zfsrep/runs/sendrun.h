// A send mission (action 1): a new recursive snapshot of the series is
// replicated, with the dataset's descendants, to PATH/NAME on the remote
// host as a read-only, unmounted, resumable replica; the newest common
// snapshot keeps the mission's hold as the next base, and older snapshots of
// the series are erased when the mission asks for it.
#pragma once

#include "replicator.h"
#include "runservices.h"

class Run;

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
    const RunServices &services;
};
