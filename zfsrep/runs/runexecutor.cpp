#include "runexecutor.h"

#include "commandreport.h"
#include "exportrun.h"
#include "mirrorrun.h"
#include "missioncleanup.h"
#include "pullrun.h"
#include "restorerun.h"
#include "run.h"
#include "sendrun.h"
#include "sshlogin.h"
#include "tq2print.h"
#include "tq2error.h"

RunExecutor::RunExecutor(std::function<ProcessRunner &()> runnerLookup, const RunSettings &runSettings,
                         EventRecorder &eventRecorder, std::function<QDateTime()> clockFunction)
    : runner(std::move(runnerLookup)), settings(runSettings), events(eventRecorder), clock(std::move(clockFunction))
{
}

bool RunExecutor::knows(int action) { return action >= Mission::Send && action <= Mission::Mirror; }

bool RunExecutor::execute(Run &run)
{
    const RunServices services{runner(), settings, events, clock};
    // A key login reads the key as it is now: one that was replaced or
    // opened up since the start is refused before any ssh runs.
    const Mission &mission = run.mission();
    const bool remote =
        mission.action == Mission::Send || mission.action == Mission::Pull || mission.action == Mission::Mirror;
    if (remote && SshLogin::usesKey(mission.passwd)) {
        const QString problem = SshLogin::identityProblem(SshLogin::identityFile());
        if (!problem.isEmpty()) {
            CommandReport::commandFailed(run.journals(), TQ2PLACE(), QStringLiteral("ssh -i ") + SshLogin::identityFile(),
                                         problem);
            return false;
        }
    }
    switch (run.mission().action) {
    case Mission::Send: return SendRun(services).execute(run);
    case Mission::Pull: return PullRun(services).execute(run);
    case Mission::Export: return ExportRun(services).execute(run);
    case Mission::Restore: return RestoreRun(services).execute(run);
    case Mission::Mirror: return MirrorRun(services).execute(run);
    default:
        run.journals().setErr(TQ2Error::ERR_PARAMS, QStringLiteral("参数无效: action: %1").arg(run.mission().action));
        return false;
    }
}

void RunExecutor::cleanUp(const Mission &mission)
{
    const RunServices services{runner(), settings, events, clock};
    MissionCleanup(services).clean(mission);
}
