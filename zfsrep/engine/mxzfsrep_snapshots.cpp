// Snapshot streams between this machine and a remote host. A send replicates
// the mission's dataset (with its descendants) to PATH/NAME on the remote
// host as a read-only, unmounted, resumable replica; a receive pulls the
// remote dataset (up to a named snapshot) into a local staging dataset. What
// is sent is decided by the replication planner from both sides' listings.
#include "mxzfsrep.h"

#include "enginereport.h"
#include "missionfields.h"
#include "replicationside.h"
#include "sshcontrol.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"
#include "zfscommands.h"

#include <QDir>

using TransferCommands::Endpoint;

namespace {

// Absent or 0 means ssh's own port.
Endpoint endpointOf(const QJsonObject &mission)
{
    const int port = toInt(mission.value(QStringLiteral("port")));
    return Endpoint{MissionFields::text(mission, "host"), port > 0 ? port : 22, MissionFields::text(mission, "userid"),
                    QString()};
}

qint64 rateLimitOf(const QJsonObject &mission) { return qMax<qint64>(0, toInt64(mission.value(QStringLiteral("ratelimit")))); }

} // namespace

ReplicationResult MXZfsrep::lastReplication() const
{
    std::lock_guard<std::mutex> lock(progressLock);
    return replicationResult;
}

bool MXZfsrep::replicate(TQ2Journals &journals, const ReplicationJob &job, const QString &password)
{
    {
        std::lock_guard<std::mutex> lock(progressLock);
        replicationResult = ReplicationResult();
        stageBase = 0;
        runTotal = 0;
    }
    Replicator replicator([&](const QString &pipeline, qint64 size, const QString &) {
        {
            std::lock_guard<std::mutex> lock(progressLock);
            runTotal = replicationResult.bytes + size;
            stageBase = replicationResult.bytes;
        }
        return runMeteredStage(pipeline, password, size);
    });
    ReplicationResult result;
    const bool ok = replicator.run(journals, job, result);
    // A pull is recorded as such unless it finished an interrupted stream.
    QString kind = result.kind;
    if (job.receiveMode == ZfsCommands::ReceiveMode::Staging && kind != QLatin1String("resume"))
        kind = QStringLiteral("pull");
    noteRun(kind, result.bytes, result.base, result.target,
            result.stalled ? QStringLiteral("stalled") : result.cancelled ? QStringLiteral("cancelled") : QString());
    std::lock_guard<std::mutex> lock(progressLock);
    replicationResult = result;
    if (ok && !progressObject.isEmpty())
        progressObject.insert(QStringLiteral("rate"), 100);
    return ok;
}

bool MXZfsrep::sendSnapshots(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    const QString remoteDataset =
        MissionFields::text(mission, "path") + QLatin1Char('/') + MissionFields::text(mission, "name");
    const Endpoint endpoint = endpointOf(mission);
    const QString passwd = mission.value(QStringLiteral("passwd")).toString();
    if (!checkEndpoint(journals, endpoint.host, endpoint.userid))
        return false;

    // One login for the run: the listings, the size estimate and the stream
    // share the connection.
    const int msnno = toInt(mission.value(QStringLiteral("msnno")));
    SshControl control(runner(), endpoint, passwd, sshControlDirectory, msnno);
    const ReplicationSide local(runner());
    const ReplicationSide remote(runner(), control.endpoint(), passwd);
    ReplicationJob job;
    job.source = &local;
    job.sourceDataset = dataset;
    job.target = &remote;
    job.targetDataset = remoteDataset;
    job.receiveMode = ZfsCommands::ReceiveMode::Replica;
    job.raw = true;
    job.rateLimit = rateLimitOf(mission);
    return replicate(journals, job, passwd);
}

bool MXZfsrep::recvSnapshots(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    if (!pullSnapshots(journals, mission, dataset))
        return false;
    return mountUnderMnt(journals, dataset);
}

bool MXZfsrep::pullSnapshots(TQ2Journals &journals, const QJsonObject &mission, const QString &target)
{
    const QString path = MissionFields::text(mission, "path");
    const Endpoint endpoint = endpointOf(mission);
    const QString passwd = mission.value(QStringLiteral("passwd")).toString();
    if (!checkEndpoint(journals, endpoint.host, endpoint.userid))
        return false;
    const int at = path.indexOf(QLatin1Char('@'));

    const int msnno = toInt(mission.value(QStringLiteral("msnno")));
    SshControl control(runner(), endpoint, passwd, sshControlDirectory, msnno);
    const ReplicationSide remote(runner(), control.endpoint(), passwd);
    const ReplicationSide local(runner());
    ReplicationJob job;
    job.source = &remote;
    job.sourceDataset = at > 0 ? path.left(at) : path;
    job.bound = at > 0 ? path.mid(at + 1) : QString();
    job.target = &local;
    job.targetDataset = target;
    job.receiveMode = ZfsCommands::ReceiveMode::Staging;
    job.raw = false;
    job.rateLimit = rateLimitOf(mission);
    return replicate(journals, job, passwd);
}

bool MXZfsrep::mountUnderMnt(TQ2Journals &journals, const QString &dataset) const
{
    const QString mountpoint = QStringLiteral("/mnt/") + dataset;
    // zfs makes a missing mount point itself; this only prepares the usual one.
    QDir().mkdir(mountpoint);
    const QStringList arguments = ZfsCommands::mountpointArgs(dataset, mountpoint);
    const ProcessOutcome outcome =
        runner().run(ZfsCommands::localRequest(ZfsCommands::kZfs, arguments, kStageStartMs, -1));
    if (!outcome.succeeded()) {
        EngineReport::commandFailed(journals, TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, arguments),
                                    EngineReport::errorText(outcome));
        return false;
    }
    return true;
}
