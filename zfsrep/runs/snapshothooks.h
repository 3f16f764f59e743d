// The commands of a mission's hook around its snapshot: `pre` right before
// the snapshot (after the endpoint check), `post` right after it, and `post`
// whenever `pre` ran, even when `pre` failed, timed out or the run was
// cancelled, so that what `pre` froze is thawed. Each command runs without a
// shell through the process runner, in a process group of its own, bounded
// by the hook's timeout; a cancel or a stop of the run ends it. They learn
// what is going on from ZFSREP_* variables (mission, caption, dataset, the
// snapshot name the run tries first, kind, phase).
//
// A failed `pre` fails the run before any snapshot when the hook is fatal;
// otherwise it is journaled and the run goes on. A failed `post` is
// journaled. What a failed command printed (capped) is the message.
// Used on the scheduler thread by the run it is made for.
#pragma once

#include "hookdefinition.h"
#include "processrunner.h"

#include <QString>

class Run;
class SeriesSnapshots;
struct Mission;
struct RunServices;

class SnapshotHooks
{
public:
    // Characters of a failed hook's output that the message keeps.
    static constexpr int kLongestMessage = 2000;
    static constexpr qint64 kOutputLimit = 1024 * 1024;

    SnapshotHooks(Run &run, const RunServices &services);

    // Takes the mission's series snapshot (SeriesSnapshots::create) between
    // its hook's `pre` and `post`; without a hook, the snapshot alone. False
    // when the snapshot failed or a fatal `pre` did (no snapshot then).
    bool snapshot(SeriesSnapshots &series, const QString &dataset, const QString &seriesName, QString &snapshot);

    // The request of one hook command: `phase` "pre" or "post", `snapshot`
    // the full name the run tries first.
    static ProcessRequest request(const HookDefinition &hook, const QString &phase, const Mission &mission,
                                  const QString &snapshot);

private:
    // Runs one command; false with the journal entry made.
    bool runPhase(const HookDefinition &hook, const QString &phase, const QString &snapshot, bool failsRun);

    Run &run;
    const RunServices &services;
};
