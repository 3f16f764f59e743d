// The replication of a send that carries the mission's own snapshots only
// (carry "series"): the target's top is listed, the source's own snapshots
// after the newest one it holds are sent one after the other, each from the
// one before with -i (CarryChain), so each own snapshot reaches the target
// and no other does. A target that shares no snapshot with the source gets
// the full stream first, as a send of carry "all" does (a full replication
// stream holds the snapshots before the newest as well). The run record
// notes the first stream's kind and base, the last snapshot and the bytes of
// all of them.
// Used on the scheduler thread by the run it is made for.
#pragma once

#include "replicator.h"

class Run;
class StageRunner;
struct RunServices;

namespace SeriesCarry {

bool replicate(Run &run, const RunServices &services, StageRunner &stages, ReplicationJob job,
               const QString &password, ReplicationResult &result);

} // namespace SeriesCarry
