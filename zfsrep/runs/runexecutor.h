// Carries out one run: picks the class of the mission's kind (send, pull,
// export, restore, mirror) and hands it the run with the services it uses. The
// scheduler owns the run and records it; the executor only does the work.
// Used on the scheduler thread.
#pragma once

#include "runservices.h"

#include <functional>
#include <memory>

class Run;
struct Mission;

class RunExecutor
{
public:
    // The runner is looked up at every run (tests swap it); settings and
    // events must outlive the executor.
    RunExecutor(std::function<ProcessRunner &()> runner, const RunSettings &settings, EventRecorder &events,
                std::function<QDateTime()> clock);

    // Whether an action is one of the five mission kinds.
    static bool knows(int action);
    // Runs the mission of `run`; false with the run's journal saying why (an
    // unknown action: ERR_PARAMS "参数无效: action: N", nothing run).
    bool execute(Run &run);
    // Cleans up after a removed mission (MissionCleanup), as it was stored.
    void cleanUp(const Mission &mission);

private:
    std::function<ProcessRunner &()> runner;
    const RunSettings &settings;
    EventRecorder &events;
    std::function<QDateTime()> clock;
};
