#include "sendrun.h"

#include "hostkeypin.h"
#include "remotequeries.h"
#include "replicationstep.h"
#include "run.h"
#include "runevent.h"
#include "seriessnapshots.h"
#include "sshcontrol.h"
#include "stagerunner.h"

bool SendRun::execute(Run &run)
{
    const Mission &mission = run.mission();
    const QString dataset = mission.dataset();
    SeriesSnapshots series(run, services);
    QString snapshot;
    bool result = series.create(dataset, mission.snapname, snapshot);
    if (result) {
        ReplicationResult replicated;
        result = RemoteQueries::checkEndpoint(run.journals(), mission.host, mission.userid) && replicate(run, replicated);
        if (result) {
            // The newest common snapshot is the next run's base: keep it.
            series.moveBaseHold(dataset, dataset + QLatin1Char('@') + replicated.target);
            if (mission.erase && !run.isCancelled())
                series.eraseOlder(dataset, mission.snapname, snapshot);
        } else if (replicated.reached == ReplicationResult::Reached::No && !run.isCancelled()) {
            // The target, listed after the failure, does not hold it: the
            // snapshot would only pile up. Whenever that is not known (a
            // cancel, a listing that failed) it is kept: the next run may
            // need it as its base.
            series.drop(snapshot);
        }
    }
    RunEvent::write(services.events, run, result, QStringLiteral("GLOG_ZFSREP_SENDPOOL"), dataset,
                    QStringLiteral(" SEND "), dataset, mission.remoteLocation());
    return result;
}

bool SendRun::replicate(Run &run, ReplicationResult &replicated)
{
    const Mission &mission = run.mission();
    // One login for the run: the listings, the size estimate and the stream
    // share the connection.
    const CancelToken *cancel = &run.cancelToken();
    SshControl control(services.runner, mission.endpoint(), mission.passwd, services.settings.sshControlDirectory,
                       mission.msnno, cancel);
    // Logged in: the host's key must be on record now (no silent lapse).
    if (control.isOpen() && !HostKeyPin::confirm(run, services.runner, mission.host, mission.port))
        return false;
    const ReplicationSide local(services.runner, cancel);
    const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd, cancel);
    ReplicationJob job;
    job.source = &local;
    job.sourceDataset = mission.dataset();
    job.target = &remote;
    job.targetDataset = mission.path + QLatin1Char('/') + mission.name;
    job.receiveMode = ZfsCommands::ReceiveMode::Replica;
    job.raw = true;
    job.rateLimit = mission.rateLimit;
    StageRunner stages(services.runner, services.settings.stallTimeoutSeconds);
    return ReplicationStep::replicate(run, stages, job, mission.passwd, replicated);
}
