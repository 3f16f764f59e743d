// How a finished run and a listed mission are judged. Pure functions of what
// the engine knows, tested on tables.
#pragma once

#include <QString>

namespace RunVerdict {

// The outcome of a run that ended: "succeeded" when the action succeeded;
// else "interrupted" when the service is stopping; else the outcome the
// transfer set itself ("stalled", "cancelled"; ignored when empty or still
// "running"); else "cancelled" when an operator asked for it; else "failed".
QString outcome(bool succeeded, bool stopping, const QString &transferOutcome, bool cancelRequested);

// What the listing shows about a mission.
struct MissionFacts {
    bool running = false;  // a run of it goes now
    bool armed = false;    // it has a due time
    bool done = false;     // the stored "done" flag
    QString lastOutcome;   // its newest run's outcome, "" when never run
    QString problem;       // why the stored mission cannot run, "" when it can
    bool waiting = false;  // it is due and waits in the scheduler's queue
};

// "running" while it runs; "waiting" while it waits to start; "failed" when
// it has a problem, or when its
// newest run did not succeed and nothing is armed; "done" when it is done;
// "armed" when it has a due time; "done" when its newest run succeeded; else
// "pending".
QString missionState(const MissionFacts &facts);

} // namespace RunVerdict
