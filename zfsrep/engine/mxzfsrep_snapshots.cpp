// Snapshot streams between this machine and a remote host: a send runs the
// full raw stream of the oldest snapshot when the remote side has none, then
// one incremental raw stream up to the newest; a receive pulls the remote
// snapshots (up to a named one) full first, then incremental.
#include "mxzfsrep.h"

#include "enginereport.h"
#include "missionfields.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"
#include "transfercommands.h"
#include "zfscommands.h"

#include <QDir>

using TransferCommands::Endpoint;

namespace {

Endpoint endpointOf(const QJsonObject &mission)
{
    return Endpoint{MissionFields::text(mission, "host"), toInt(mission.value(QStringLiteral("port"))),
                    MissionFields::text(mission, "userid")};
}

} // namespace

bool MXZfsrep::sendSnapshots(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    const QString remoteDataset =
        MissionFields::text(mission, "path") + QLatin1Char('/') + MissionFields::text(mission, "name");
    const Endpoint endpoint = endpointOf(mission);
    const QString passwd = mission.value(QStringLiteral("passwd")).toString();
    if (!checkEndpoint(journals, endpoint.host, endpoint.userid))
        return false;

    QString speed = QStringLiteral("0B/s");
    int fullRate = 0;
    int incrementRate = 0;
    // Both phases count toward one published percentage, never above 100.
    auto publish = [&] { publishProgress(speed, qMin(100, fullRate + incrementRate)); };

    QStringList local;
    snapshotAllist(journals, local, dataset);
    QStringList remote;
    remoteSnapshotAllist(journals, remote, endpoint.host, endpoint.port, endpoint.userid, passwd, remoteDataset);
    if (local.isEmpty())
        return false;
    const qint64 size = snapshotSize(journals, local.last(), QString());
    bool result = false;

    if (remote.isEmpty()) {
        const QString command = TransferCommands::sendFull(local.first(), size, endpoint, remoteDataset);
        const StageOutcome full = runStage(command, passwd, false, [&](QByteArray &buffer) {
            takeProgress(speed, fullRate, buffer);
            publish();
        });
        result = full.started;
        if (full.started && !full.succeeded) {
            EngineReport::commandFailed(journals, TQ2PLACE(), command, full.errorText);
            result = false;
        }
    }
    if (cancelled.load()) {
        incrementRate = 100 - fullRate;
        publish();
        return result;
    }

    // Start one snapshot before the one matching the remote's newest, so the
    // stream's base is a snapshot both sides hold.
    if (remote.size() >= 2) {
        const int position = local.indexOf(remote.last());
        local = local.mid(qMax(0, position - 1));
    }
    const QString command = TransferCommands::sendIncremental(local.first(), local.last(), size, endpoint, remoteDataset);
    const StageOutcome incremental = runStage(command, passwd, false, [&](QByteArray &buffer) {
        takeProgress(speed, incrementRate, buffer);
        publish();
    });
    if (!incremental.succeeded) {
        EngineReport::commandFailed(journals, TQ2PLACE(), command, incremental.errorText);
        return false;
    }
    incrementRate = 100 - fullRate;
    publish();
    return true;
}

bool MXZfsrep::recvSnapshots(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    if (!pullSnapshots(journals, mission, dataset))
        return false;
    mountUnderMnt(dataset);
    return true;
}

bool MXZfsrep::pullSnapshots(TQ2Journals &journals, const QJsonObject &mission, const QString &target)
{
    const QString path = MissionFields::text(mission, "path");
    const Endpoint endpoint = endpointOf(mission);
    const QString passwd = mission.value(QStringLiteral("passwd")).toString();
    if (!checkEndpoint(journals, endpoint.host, endpoint.userid))
        return false;
    const int at = path.indexOf(QLatin1Char('@'));
    const QString remoteDataset = at > 0 ? path.left(at) : path;

    QStringList remote;
    remoteSnapshotAllist(journals, remote, endpoint.host, endpoint.port, endpoint.userid, passwd, remoteDataset);
    if (remote.isEmpty())
        return false;
    const int bound = remote.indexOf(path);
    if (bound >= 0)
        remote = remote.mid(0, bound + 1);
    if (remote.isEmpty()) {
        journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("远程快照不存在: ") + path);
        return false;
    }

    QString speed = QStringLiteral("0B/s");
    int rate = 0;
    const qint64 size = remoteSnapshotSize(journals, endpoint.host, endpoint.port, endpoint.userid, passwd,
                                           remote.last(), QString());
    auto onStep = [&](QByteArray &buffer) {
        takeProgress(speed, rate, buffer);
        publishProgress(speed, rate);
    };
    QStringList commands{TransferCommands::receiveFull(endpoint, remote.first(), size, target)};
    if (remote.size() >= 2)
        commands.append(TransferCommands::receiveIncremental(endpoint, remote.first(), remote.last(), size, target));
    for (const QString &command : commands) {
        const StageOutcome stage = runStage(command, passwd, false, onStep);
        if (!stage.succeeded) {
            if (stage.started)
                TQ2TRACE("process.readAllStandardError()", stage.errorText);
            EngineReport::commandFailed(journals, TQ2PLACE(), command, stage.errorText);
            return false;
        }
    }
    rate = 100;
    publishProgress(speed, rate);
    return true;
}

void MXZfsrep::mountUnderMnt(const QString &dataset) const
{
    const QString mountpoint = QStringLiteral("/mnt/") + dataset;
    QDir().mkdir(mountpoint);
    runner().run(ZfsCommands::localRequest(ZfsCommands::kZfs,
                                           {QStringLiteral("set"), QStringLiteral("mountpoint=") + mountpoint, dataset},
                                           kStageStartMs, -1));
}
