// Runs the mission kinds the way the scheduler does, outside it: a Run made
// from the mission (a stored row or a request's fields), handed to the kind
// with the engine's services; the run's journal is copied into the caller's
// and the run is kept for checks of its record and progress.
#pragma once

#include "datasetreplacer.h"
#include "exportrun.h"
#include "mirrorrun.h"
#include "mxzfsrep.h"
#include "pullrun.h"
#include "restorerun.h"
#include "run.h"
#include "sendrun.h"
#include "tq2journals.h"

#include <QJsonObject>

#include <functional>
#include <memory>

class MissionDriver
{
public:
    explicit MissionDriver(MXZfsrep &engine) : engine(engine) {}

    bool sendPool(TQ2Journals &journals, const QJsonObject &mission)
    {
        return execute(journals, mission, [](Run &run, const RunServices &s) { return SendRun(s).execute(run); });
    }
    bool recvPool(TQ2Journals &journals, const QJsonObject &mission)
    {
        return execute(journals, mission, [](Run &run, const RunServices &s) { return PullRun(s).execute(run); });
    }
    bool sendFile(TQ2Journals &journals, const QJsonObject &mission)
    {
        return execute(journals, mission, [](Run &run, const RunServices &s) { return ExportRun(s).execute(run); });
    }
    bool recvFile(TQ2Journals &journals, const QJsonObject &mission)
    {
        return execute(journals, mission, [](Run &run, const RunServices &s) { return RestoreRun(s).execute(run); });
    }
    bool mirrorPool(TQ2Journals &journals, const QJsonObject &mission)
    {
        return execute(journals, mission, [](Run &run, const RunServices &s) { return MirrorRun(s).execute(run); });
    }
    // The replication step of a send alone.
    bool sendSnapshots(TQ2Journals &journals, const QJsonObject &mission)
    {
        return execute(journals, mission, [](Run &run, const RunServices &s) {
            ReplicationResult replicated;
            return SendRun(s).replicate(run, replicated);
        });
    }
    // A pull straight into the mission's dataset, then the mount step.
    bool recvSnapshots(TQ2Journals &journals, const QJsonObject &mission)
    {
        return execute(journals, mission, [](Run &run, const RunServices &s) {
            return PullRun(s).pull(run, run.mission().dataset())
                   && DatasetReplacer(run, s).mountUnderMnt(run.mission().dataset());
        });
    }

    // What the last run noted of its replication.
    ReplicationResult lastReplication() const
    {
        ReplicationResult result;
        if (!last)
            return result;
        const RunRecord record = last->record();
        result.kind = record.kind;
        result.base = record.base;
        result.target = record.target;
        result.bytes = record.bytes;
        result.stalled = record.outcome == QLatin1String("stalled");
        result.cancelled = record.outcome == QLatin1String("cancelled");
        return result;
    }
    const std::shared_ptr<Run> &lastRun() const { return last; }
    // Called with the run before it starts (e.g. to cancel it from a thread).
    std::function<void(const std::shared_ptr<Run> &)> onStart;

private:
    bool execute(TQ2Journals &journals, const QJsonObject &mission,
                 const std::function<bool(Run &, const RunServices &)> &kind)
    {
        last = std::make_shared<Run>(Mission::fromRow(mission), 0);
        if (onStart)
            onStart(last);
        MXZfsrep &source = engine;
        const RunServices services{engine.runner(), engine.settings(), engine.events(), [&source] { return source.now(); }};
        const bool ok = kind(*last, services);
        journals.reset(last->journals().err(), last->journals().errmsg(), last->journals().segments());
        return ok;
    }

    MXZfsrep &engine;
    std::shared_ptr<Run> last;
};
