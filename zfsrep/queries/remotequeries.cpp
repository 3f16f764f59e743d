#include "remotequeries.h"

#include "commandreport.h"
#include "sshlogin.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"
#include "zfsoutput.h"

#include <QFile>

using namespace ZfsCommands;

namespace {

constexpr int kFinish = 25000;

} // namespace

RemoteQueries::RemoteQueries(ProcessRunner &processRunner) : runner(processRunner) {}

bool RemoteQueries::checkEndpoint(TQ2Journals &journals, const QString &host, const QString &userid)
{
    const QString bad = invalidEndpointParameter(host, userid);
    if (bad.isEmpty())
        return true;
    journals.setErr(TQ2Error::ERR_PARAMS, QStringLiteral("参数无效: ") + bad);
    return false;
}

bool RemoteQueries::remotePools(TQ2Journals &journals, QJsonObject &pools, const QString &host, int port,
                           const QString &userid, const QString &passwd) const
{
    if (!checkEndpoint(journals, host, userid))
        return false;
    // $ zpool list -Hpo name,size,free
    // backup	4294967296	4294045696
    const QString command = QStringLiteral("zpool list -Hpo name,size,free");
    const ProcessOutcome outcome = runner.run(sshRequest(host, port, userid, passwd, command, 10000, kFinish));
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), command, CommandReport::errorText(outcome));
        return false;
    }
    const QJsonObject parsed = ZfsOutput::remotePools(outcome.standardOutput);
    for (auto it = parsed.constBegin(); it != parsed.constEnd(); ++it)
        pools.insert(it.key(), it.value());
    return true;
}

bool RemoteQueries::remoteSnapshotAllist(TQ2Journals &journals, QStringList &names, const QString &host, int port,
                                    const QString &userid, const QString &passwd, const QString &dataset) const
{
    if (!checkEndpoint(journals, host, userid))
        return false;
    // $ zfs list -H -o name -t snapshot 'backup/data'
    // backup/data@ZFSREP_20240305070809
    const QString command = QStringLiteral("zfs list -H -o name -t snapshot ") + shellQuote(dataset);
    const ProcessOutcome outcome = runner.run(sshRequest(host, port, userid, passwd, command, 10000, kFinish));
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), command, CommandReport::errorText(outcome));
        return false;
    }
    names.append(ZfsOutput::snapshotNames(outcome.standardOutput));
    return true;
}

bool RemoteQueries::remoteSnapshotAlload(TQ2Journals &journals, QJsonObject &tree, const QString &host, int port,
                                    const QString &userid, const QString &passwd) const
{
    if (!checkEndpoint(journals, host, userid))
        return false;
    const QString listSnapshots = QStringLiteral("zfs list -Ho name -t snapshot");
    const ProcessOutcome snapshots =
        runner.run(sshRequest(host, port, userid, passwd, listSnapshots, 30000, kFinish));
    if (!snapshots.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), listSnapshots, CommandReport::errorText(snapshots));
        return false;
    }
    // $ zfs list -pHo name,mountpoint
    // backup	/backup
    const QString listDatasets = QStringLiteral("zfs list -pHo name,mountpoint");
    const ProcessOutcome datasets = runner.run(sshRequest(host, port, userid, passwd, listDatasets, 5000, kFinish));
    if (!datasets.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), listDatasets, CommandReport::errorText(datasets));
        return false;
    }
    tree = ZfsOutput::snapshotTree(snapshots.standardOutput, datasets.standardOutput);
    return true;
}

qint64 RemoteQueries::remoteSnapshotSize(TQ2Journals &journals, const QString &host, int port, const QString &userid,
                                    const QString &passwd, const QString &snapshot, const QString &base) const
{
    if (!checkEndpoint(journals, host, userid))
        return 0;
    QString command = QStringLiteral("zfs send -RPnv ");
    if (!base.isEmpty())
        command += QStringLiteral("-I ") + shellQuote(base) + QLatin1Char(' ');
    command += shellQuote(snapshot);
    const ProcessOutcome outcome = runner.run(sshRequest(host, port, userid, passwd, command, 10000, kFinish));
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), command, CommandReport::errorText(outcome));
        return 0;
    }
    return ZfsOutput::sendSize(outcome.standardOutput);
}

bool RemoteQueries::forgetHostKey(TQ2Journals &journals, const QString &host, int port, bool &found) const
{
    found = false;
    // Only the host matters here; the user id given is a placeholder.
    if (!checkEndpoint(journals, host, QStringLiteral("root")))
        return false;
    // $ ssh-keygen -R '[127.0.0.1]:2222' -f /tarn/etc/zfs/zfsrep.known_hosts
    // # Host [127.0.0.1]:2222 found: line 1
    // (stderr when there is none: "Host [127.0.0.1]:2222 not found in ...", status 0)
    const ProcessRequest request = forgetHostKeyRequest(host, port);
    const ProcessOutcome outcome = runner.run(request);
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), commandText(request.program, request.arguments),
                                    CommandReport::errorText(outcome));
        return false;
    }
    found = outcome.standardOutput.contains(" found: line ");
    // ssh-keygen keeps the old lines in FILE.old and may write the new file
    // with a wider mode.
    const QString file = SshLogin::knownHostsFile();
    QFile::remove(file + QStringLiteral(".old"));
    const QString problem = SshLogin::prepareKnownHostsFile(file);
    if (!problem.isEmpty())
        TQ2TRACE("problem", problem);
    return true;
}
