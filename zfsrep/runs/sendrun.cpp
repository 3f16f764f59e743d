#include "sendrun.h"

#include "basebookmarks.h"
#include "carrychain.h"
#include "endpointcheck.h"
#include "hostkeypin.h"
#include "remotequeries.h"
#include "replicationstep.h"
#include "retentionstep.h"
#include "run.h"
#include "runevent.h"
#include "seriescarry.h"
#include "seriessnapshots.h"
#include "snapshothooks.h"
#include "sshcontrol.h"
#include "stagerunner.h"

bool SendRun::execute(Run &run)
{
    const Mission &mission = run.mission();
    const QString dataset = mission.dataset();
    SeriesSnapshots series(run, services);
    QString snapshot;
    bool result = RemoteQueries::checkEndpoint(run.journals(), mission.host, mission.userid);
    if (result) {
        // One login for the run: the check, the listings, the size estimate
        // and the stream share the connection. The target is checked before
        // the snapshot, so a run that cannot reach it leaves nothing behind.
        SshControl control(services.runner, mission.endpoint(), mission.passwd, services.settings.sshControlDirectory,
                           mission.msnno, &run.cancelToken());
        const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd, &run.cancelToken());
        // Logged in: the host's key must be on record now (no silent lapse).
        result = (!control.isOpen() || HostKeyPin::confirm(run, services.runner, mission.host, mission.port))
                 && EndpointCheck::sendTarget(run.journals(), remote, targetOf(mission))
                 && SnapshotHooks(run, services).snapshot(series, dataset, mission.snapname, snapshot);
        if (result) {
            ReplicationResult replicated;
            result = replicate(run, control, replicated);
            if (result) {
                // The newest common snapshot is the next run's base: keep it,
                // and a bookmark of it should the snapshot be destroyed.
                series.moveBaseHold(dataset, dataset + QLatin1Char('@') + replicated.target);
                const ReplicationSide local(services.runner, &run.cancelToken());
                BaseBookmarks(local, mission.msnno).keep(run.journals(), dataset, replicated.target);
                // A source rule takes the place of erase.
                RetentionStep::prune(run, services, local, &remote, targetOf(mission));
                if (mission.erase && !RetentionStep::hasSourceRule(run) && !run.isCancelled())
                    series.eraseOlder(dataset, mission.snapname, snapshot);
            } else if (!run.isCancelled()
                       && (replicated.reached == ReplicationResult::Reached::No || replicated.kind.isEmpty())) {
                // The target, listed after the failure, does not hold it, or
                // no stream of it began: the snapshot would only pile up.
                // When a stream began and the target could not be listed, or
                // after a cancel, it is kept: the target may hold part of it
                // and the next run may need it.
                series.drop(snapshot);
            }
        }
    }
    RunEvent::write(services.events, run, result, QStringLiteral("GLOG_ZFSREP_SENDPOOL"), dataset,
                    QStringLiteral(" SEND "), dataset, mission.remoteLocation());
    return result;
}

QString SendRun::targetOf(const Mission &mission) { return mission.path + QLatin1Char('/') + mission.name; }

bool SendRun::replicate(Run &run, ReplicationResult &replicated)
{
    const Mission &mission = run.mission();
    SshControl control(services.runner, mission.endpoint(), mission.passwd, services.settings.sshControlDirectory,
                       mission.msnno, &run.cancelToken());
    // Logged in: the host's key must be on record now (no silent lapse).
    if (control.isOpen() && !HostKeyPin::confirm(run, services.runner, mission.host, mission.port))
        return false;
    return replicate(run, control, replicated);
}

bool SendRun::replicate(Run &run, const SshControl &control, ReplicationResult &replicated)
{
    const Mission &mission = run.mission();
    const CancelToken *cancel = &run.cancelToken();
    const ReplicationSide local(services.runner, cancel);
    const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd, cancel);
    ReplicationJob job;
    job.source = &local;
    job.sourceDataset = mission.dataset();
    job.target = &remote;
    job.targetDataset = targetOf(mission);
    job.receiveMode = ZfsCommands::ReceiveMode::Replica;
    job.raw = true;
    job.rateLimit = mission.rateLimit;
    StageRunner stages(services.runner, services.settings.stallTimeoutSeconds);
    if (CarryChain::isSeries(mission.carry))
        return SeriesCarry::replicate(run, services, stages, job, mission.passwd, replicated);
    return ReplicationStep::replicate(run, stages, job, mission.passwd, replicated);
}
