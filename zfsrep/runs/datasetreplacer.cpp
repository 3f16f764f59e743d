#include "datasetreplacer.h"

#include "commandreport.h"
#include "run.h"
#include "runservices.h"
#include "stagerunner.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"

#include <QDir>

const QString DatasetReplacer::kIncomingSuffix = QStringLiteral(".zfsrep-incoming");
const QString DatasetReplacer::kPreviousSuffix = QStringLiteral(".zfsrep-previous");

DatasetReplacer::DatasetReplacer(Run &owner, const RunServices &runServices)
    : run(owner), services(runServices), cleanup(runServices.runner)
{
}

bool DatasetReplacer::rename(const QString &from, const QString &to)
{
    // A rename is one quick step that either happens or not; it runs to its
    // end even for a cancelled run, so the old dataset is never left aside.
    const ProcessOutcome renamed = services.runner.run(
        ZfsCommands::localRequest(ZfsCommands::kZfs, {QStringLiteral("rename"), from, to}, 10000, 60000));
    if (!renamed.succeeded()) {
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), QStringLiteral("zfs rename ") + from + QLatin1Char(' ') + to,
                                     CommandReport::errorText(renamed));
        return false;
    }
    return true;
}

bool DatasetReplacer::replace(const QString &incoming, const QString &target, bool targetExists)
{
    // The old dataset is moved aside, not destroyed, until the new one holds
    // its name; a failure on the way puts it back.
    const QString previous = target + kPreviousSuffix;
    if (targetExists && !rename(target, previous))
        return false;
    if (!rename(incoming, target)) {
        if (targetExists)
            rename(previous, target);
        return false;
    }
    // The new dataset holds the name now; an old one that cannot be removed
    // fails the run (the next run removes it before receiving).
    if (targetExists && !cleanup.remove(run.journals(), previous))
        return false;
    return true;
}

void DatasetReplacer::destroyIncoming(const QString &incoming)
{
    services.runner.run(ZfsCommands::localRequest(
        ZfsCommands::kZfs, {QStringLiteral("destroy"), QStringLiteral("-r"), incoming}, 5000, 1200000));
}

bool DatasetReplacer::receiveReplacing(const QString &pool, const QString &name, const QJsonObject &items,
                                       const std::function<bool(const QString &)> &receive)
{
    const QString dataset = pool + QLatin1Char('/') + name;
    const QString incoming = dataset + kIncomingSuffix;
    const ReplicationSide probe(services.runner);
    bool exists = items.contains(name);
    // An earlier run was interrupted: a moved-aside dataset goes back when
    // nothing took its name (else the new one did and it is obsolete); a
    // partial incoming dataset is dropped.
    if (items.contains(name + kPreviousSuffix)) {
        if (!exists)
            exists = rename(dataset + kPreviousSuffix, dataset);
        else
            cleanup.remove(run.journals(), dataset + kPreviousSuffix);
    }
    // A staging dataset with a resume token keeps what it received for the
    // next run; any other one is dropped before receiving anew.
    if (items.contains(name + kIncomingSuffix) && !probe.hasResumeToken(incoming))
        destroyIncoming(incoming);
    if (!receive(incoming)) {
        if (!probe.hasResumeToken(incoming))
            destroyIncoming(incoming);
        return false;
    }
    if (run.isCancelled()) {
        run.journals().setErr(TQ2Error::ERR_FAILED, QStringLiteral("the transfer was cancelled"));
        return false;
    }
    if (!replace(incoming, dataset, exists)) {
        if (probe.exists(incoming))
            destroyIncoming(incoming);
        return false;
    }
    return mountUnderMnt(dataset);
}

bool DatasetReplacer::mountUnderMnt(const QString &dataset)
{
    const QString mountpoint = QStringLiteral("/mnt/") + dataset;
    // zfs makes a missing mount point itself; this only prepares the usual one.
    QDir().mkdir(mountpoint);
    const QStringList arguments = ZfsCommands::mountpointArgs(dataset, mountpoint);
    ProcessRequest request = ZfsCommands::localRequest(ZfsCommands::kZfs, arguments, StageRunner::kStageStartMs, -1);
    const ProcessOutcome outcome = services.runner.run(request);
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, arguments),
                                     CommandReport::errorText(outcome));
        return false;
    }
    return true;
}
