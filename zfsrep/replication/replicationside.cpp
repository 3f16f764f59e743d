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
