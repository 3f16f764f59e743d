// A replication carried out for a run: the replicator's streams run on the
// stage runner with the run's cancel token and password, the run's progress
// counts across the streams (a resumed stream starts from the bytes the
// target already holds), and the run record notes what was sent.
// Used on the scheduler thread by the run it is made for.
#pragma once

#include "replicator.h"

class Run;
class StageRunner;

namespace ReplicationStep {

// `password` is the remote side's (empty for a local pair).
bool replicate(Run &run, StageRunner &stages, const ReplicationJob &job, const QString &password,
               ReplicationResult &result);

} // namespace ReplicationStep
