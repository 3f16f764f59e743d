#include "replicationside.h"

#include "commandreport.h"
#include "replicationoutput.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"

using namespace ZfsCommands;

namespace {

constexpr int kStartMs = 10000;

} // namespace

ReplicationSide::ReplicationSide(ProcessRunner &runner, const CancelToken *token)
    : processRunner(runner), cancel(token)
{
}

ReplicationSide::ReplicationSide(ProcessRunner &runner, const TransferCommands::Endpoint &endpoint,
                                 const QString &passwd, const CancelToken *token)
    : processRunner(runner), remote(true), endpoint(endpoint), password(passwd), cancel(token)
{
}

QString ReplicationSide::label() const { return remote ? endpoint.host + QLatin1Char(':') : QString(); }

ProcessOutcome ReplicationSide::run(const QStringList &zfsArgs, int finishTimeoutMs) const
{
    ProcessRequest request = remote ? sshRequest(endpoint.host, endpoint.port, endpoint.userid, password,
                                                 ZfsCommands::commandText(kZfsFullPath, zfsArgs), kStartMs,
                                                 finishTimeoutMs, endpoint.controlPath)
                                    : localRequest(kZfs, zfsArgs, kStartMs, finishTimeoutMs);
    request.cancel = cancel;
    return processRunner.run(request);
}

bool ReplicationSide::runReported(TQ2Journals &journals, const QString &place, const QStringList &zfsArgs) const
{
    const ProcessOutcome outcome = run(zfsArgs);
    if (outcome.succeeded())
        return true;
    CommandReport::commandFailed(journals, place, label() + ZfsCommands::commandText(kZfs, zfsArgs),
                                CommandReport::errorText(outcome));
    return false;
}

bool ReplicationSide::exists(const QString &dataset) const
{
    return run(existsArgs(dataset), 30000).succeeded();
}

bool ReplicationSide::hasResumeToken(const QString &dataset) const
{
    const ProcessOutcome token = run(resumeTokenArgs(dataset), 30000);
    return token.succeeded() && !ReplicationOutput::resumeToken(token.standardOutput).isEmpty();
}

QString ReplicationSide::commandText(const QStringList &zfsArgs) const
{
    if (!remote)
        return ZfsCommands::commandText(kZfs, zfsArgs);
    return TransferCommands::sshPrefix(endpoint, ZfsCommands::commandText(kZfsFullPath, zfsArgs));
}

bool ReplicationSide::list(TQ2Journals &journals, const QString &dataset, DatasetListing &listing) const
{
    listing = DatasetListing();
    const ProcessOutcome snapshots = run(snapshotListArgs(dataset));
    if (!snapshots.succeeded()) {
        const QString error = CommandReport::errorText(snapshots);
        if (snapshots.started && snapshots.finished && ReplicationOutput::isMissingDataset(error))
            return true;
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, snapshotListArgs(dataset)),
                                    error);
        return false;
    }
    listing.exists = true;
    listing.snapshots = ReplicationOutput::snapshots(snapshots.standardOutput, dataset);
    const ProcessOutcome token = run(resumeTokenArgs(dataset));
    if (!token.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, resumeTokenArgs(dataset)),
                                    CommandReport::errorText(token));
        return false;
    }
    listing.resumeToken = ReplicationOutput::resumeToken(token.standardOutput);
    return true;
}

bool ReplicationSide::listTree(TQ2Journals &journals, const QString &dataset, TreeListing &tree) const
{
    tree = TreeListing();
    const ProcessOutcome tokens = run(treeTokenArgs(dataset));
    if (!tokens.succeeded()) {
        const QString error = CommandReport::errorText(tokens);
        if (tokens.started && tokens.finished && ReplicationOutput::isMissingDataset(error))
            return true;
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, treeTokenArgs(dataset)),
                                     error);
        return false;
    }
    const QMap<QString, QString> pending = ReplicationOutput::treeTokens(tokens.standardOutput, dataset);
    const ProcessOutcome snapshots = run(treeListArgs(dataset));
    if (!snapshots.succeeded()) {
        // Destroyed between the two questions: no tree, as above.
        if (snapshots.started && snapshots.finished && ReplicationOutput::isMissingDataset(CommandReport::errorText(snapshots)))
            return true;
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, treeListArgs(dataset)),
                                     CommandReport::errorText(snapshots));
        return false;
    }
    const QMap<QString, QList<SnapshotInfo>> lists = ReplicationOutput::treeSnapshots(snapshots.standardOutput, dataset);
    for (auto it = pending.constBegin(); it != pending.constEnd(); ++it) {
        DatasetListing &listing = tree.datasets[it.key()];
        listing.exists = true;
        listing.resumeToken = it.value();
        listing.snapshots = lists.value(it.key());
    }
    return true;
}

bool ReplicationSide::isEncrypted(TQ2Journals &journals, const QString &dataset, bool &encrypted) const
{
    const ProcessOutcome outcome = run(encryptionArgs(dataset));
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, encryptionArgs(dataset)),
                                     CommandReport::errorText(outcome));
        return false;
    }
    const QString value = QString::fromUtf8(outcome.standardOutput).trimmed();
    encrypted = !value.isEmpty() && value != QLatin1String("off") && value != QLatin1String("-");
    return true;
}
