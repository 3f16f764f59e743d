#include "pullrun.h"

#include "hostkeypin.h"
#include "datasetreplacer.h"
#include "localqueries.h"
#include "remotequeries.h"
#include "replicationstep.h"
#include "run.h"
#include "runevent.h"
#include "sshcontrol.h"
#include "stagerunner.h"
#include "tq2error.h"

bool PullRun::execute(Run &run)
{
    const Mission &mission = run.mission();
    const QString dataset = mission.dataset();
    bool result = false;
    QJsonObject pools;
    if (LocalQueries(services.runner, &run.cancelToken()).alload(run.journals(), pools)) {
        if (!pools.contains(mission.pool)) {
            run.journals().setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("需要恢复的pool不存在: ") + mission.pool);
        } else {
            const QJsonObject items = pools.value(mission.pool).toObject().value(QStringLiteral("items")).toObject();
            DatasetReplacer replacer(run, services);
            result = replacer.receiveReplacing(mission.pool, mission.name, items, true,
                                               [&](const QString &incoming) { return pull(run, incoming); });
        }
    }
    RunEvent::write(services.events, run, result, QStringLiteral("GLOG_ZFSREP_RECVPOOL"), dataset,
                    QStringLiteral(" RECV "), mission.remoteLocation(), dataset);
    return result;
}

bool PullRun::pull(Run &run, const QString &target)
{
    const Mission &mission = run.mission();
    if (!RemoteQueries::checkEndpoint(run.journals(), mission.host, mission.userid))
        return false;
    const int at = mission.path.indexOf(QLatin1Char('@'));
    const CancelToken *cancel = &run.cancelToken();
    SshControl control(services.runner, mission.endpoint(), mission.passwd, services.settings.sshControlDirectory,
                       mission.msnno, cancel);
    // Logged in: the host's key must be on record now (no silent lapse).
    if (control.isOpen() && !HostKeyPin::confirm(run, services.runner, mission.host, mission.port))
        return false;
    const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd, cancel);
    const ReplicationSide local(services.runner, cancel);
    ReplicationJob job;
    job.source = &remote;
    job.sourceDataset = at > 0 ? mission.path.left(at) : mission.path;
    job.bound = at > 0 ? mission.path.mid(at + 1) : QString();
    job.target = &local;
    job.targetDataset = target;
    job.receiveMode = ZfsCommands::ReceiveMode::Staging;
    // An encrypted dataset travels as it is stored (-w): OpenZFS refuses a
    // tree stream of it otherwise, and it arrives still encrypted.
    if (!remote.isEncrypted(run.journals(), job.sourceDataset, job.raw))
        return false;
    job.rateLimit = mission.rateLimit;
    StageRunner stages(services.runner, services.settings.stallTimeoutSeconds);
    ReplicationResult replicated;
    return ReplicationStep::replicate(run, stages, job, mission.passwd, replicated);
}
