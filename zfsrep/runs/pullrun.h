// A receive mission (action 2): the remote dataset (up to a named snapshot
// when PATH is DATASET@SNAPSHOT) is pulled into a local staging dataset and
// only once it arrived put in the place of POOL/NAME and mounted under /mnt.
#pragma once

#include "replicator.h"
#include "runservices.h"

class Run;

class PullRun
{
public:
    explicit PullRun(const RunServices &services) : services(services) {}

    // Runs the mission of `run` and writes its event record; false with the
    // run's journal saying why.
    bool execute(Run &run);

    // The replication step alone: the remote snapshots received into
    // `target` (no replacement, no mount step, no event).
    bool pull(Run &run, const QString &target);

private:
    const RunServices &services;
};
