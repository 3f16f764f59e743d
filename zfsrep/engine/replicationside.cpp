#include "replicationside.h"

#include "enginereport.h"
#include "replicationoutput.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"

using namespace ZfsCommands;

namespace {

constexpr int kStartMs = 10000;

} // namespace

ReplicationSide::ReplicationSide(ProcessRunner &runner) : processRunner(runner) {}

ReplicationSide::ReplicationSide(ProcessRunner &runner, const TransferCommands::Endpoint &endpoint,
                                 const QString &passwd)
    : processRunner(runner), remote(true), endpoint(endpoint), password(passwd)
{
}

QString ReplicationSide::label() const { return remote ? endpoint.host + QLatin1Char(':') : QString(); }

ProcessOutcome ReplicationSide::run(const QStringList &zfsArgs, int finishTimeoutMs) const
{
    if (!remote)
        return processRunner.run(localRequest(kZfs, zfsArgs, kStartMs, finishTimeoutMs));
    return processRunner.run(sshRequest(endpoint.host, endpoint.port, endpoint.userid, password,
                                        ZfsCommands::commandText(kZfsFullPath, zfsArgs), kStartMs, finishTimeoutMs,
                                        endpoint.controlPath));
}

bool ReplicationSide::runReported(TQ2Journals &journals, const QString &place, const QStringList &zfsArgs) const
{
    const ProcessOutcome outcome = run(zfsArgs);
    if (outcome.succeeded())
        return true;
    EngineReport::commandFailed(journals, place, label() + ZfsCommands::commandText(kZfs, zfsArgs),
                                EngineReport::errorText(outcome));
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
        const QString error = EngineReport::errorText(snapshots);
        if (snapshots.started && snapshots.finished && ReplicationOutput::isMissingDataset(error))
            return true;
        EngineReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, snapshotListArgs(dataset)),
                                    error);
        return false;
    }
    listing.exists = true;
    listing.snapshots = ReplicationOutput::snapshots(snapshots.standardOutput, dataset);
    const ProcessOutcome token = run(resumeTokenArgs(dataset));
    if (!token.succeeded()) {
        EngineReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, resumeTokenArgs(dataset)),
                                    EngineReport::errorText(token));
        return false;
    }
    listing.resumeToken = ReplicationOutput::resumeToken(token.standardOutput);
    return true;
}
