#include "mirrorrun.h"

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
#include "sshcontrol.h"
#include "stagerunner.h"

bool MirrorRun::execute(Run &run)
{
    const Mission &mission = run.mission();
    const QString replica = mission.dataset();
    const CancelToken *cancel = &run.cancelToken();
    const ReplicationSide local(services.runner, cancel);
    bool result = RemoteQueries::checkEndpoint(run.journals(), mission.host, mission.userid)
                  // The replica's place here first: a run that cannot
                  // receive leaves no snapshot on the production host.
                  && EndpointCheck::sendTarget(run.journals(), local, replica);
    if (result) {
        // One login for the run: the snapshot, the listings, the stream,
        // the hold and the pruning share the connection.
        SshControl control(services.runner, mission.endpoint(), mission.passwd, services.settings.sshControlDirectory,
                           mission.msnno, cancel);
        const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd, cancel);
        SeriesSnapshots series(run, services, remote);
        QString snapshot;
        // Logged in: the host's key must be on record now (no silent lapse).
        result = (!control.isOpen() || HostKeyPin::confirm(run, services.runner, mission.host, mission.port))
                 && series.create(mission.path, mission.snapname, snapshot)
                 && replicate(run, control, snapshot);
    }
    RunEvent::write(services.events, run, result, QStringLiteral("GLOG_ZFSREP_RECVPOOL"), replica,
                    QStringLiteral(" RECV "), mission.remoteLocation(), replica);
    return result;
}

bool MirrorRun::replicate(Run &run, const SshControl &control, const QString &snapshot)
{
    const Mission &mission = run.mission();
    const CancelToken *cancel = &run.cancelToken();
    const ReplicationSide local(services.runner, cancel);
    const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd, cancel);
    SeriesSnapshots series(run, services, remote);
    ReplicationJob job;
    job.source = &remote;
    job.sourceDataset = mission.path;
    job.target = &local;
    job.targetDataset = mission.dataset();
    // Unmounted, read-only, no share: what a send's replica gets remotely.
    job.receiveMode = ZfsCommands::ReceiveMode::Replica;
    job.raw = true;
    job.rateLimit = mission.rateLimit;
    StageRunner stages(services.runner, services.settings.stallTimeoutSeconds);
    ReplicationResult replicated;
    const bool ok = CarryChain::isSeries(mission.carry)
                        ? SeriesCarry::replicate(run, services, stages, job, mission.passwd, replicated)
                        : ReplicationStep::replicate(run, stages, job, mission.passwd, replicated);
    if (!ok) {
        // As a send does: a snapshot no stream of which began, or that the
        // replica does not hold, would only pile up on the remote host; after
        // a cancel, or when the replica could not be listed, it is kept.
        if (!run.isCancelled()
            && (replicated.reached == ReplicationResult::Reached::No || replicated.kind.isEmpty()))
            series.drop(snapshot);
        return false;
    }
    // The newest common snapshot is the next run's base: kept on the remote
    // host, with a bookmark of it should the snapshot be destroyed there.
    series.moveBaseHold(mission.path, mission.path + QLatin1Char('@') + replicated.target);
    BaseBookmarks(remote, mission.msnno).keep(run.journals(), mission.path, replicated.target);
    // A source rule takes the place of erase.
    RetentionStep::pruneTree(run, services, remote, mission.path, &local, mission.dataset());
    if (mission.erase && !RetentionStep::hasSourceRule(run) && !run.isCancelled())
        series.eraseOlder(mission.path, mission.snapname, snapshot);
    return true;
}
