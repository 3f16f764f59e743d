#include "datasetreplacer.h"

#include "commandreport.h"
#include "run.h"
#include "runservices.h"
#include "stagerunner.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"
#include "zfsoutput.h"

#include <QDir>

namespace {

// Finish timeouts of the replacement's steps: a rename is one quick change;
// a destroy frees a whole tree; the mount step mounts it (a hanging mount
// must not hold the scheduler).
constexpr int kRenameMs = 60000;
constexpr int kDestroyMs = 1200000;
constexpr int kMountMs = 300000;

} // namespace

const QString DatasetReplacer::kIncomingSuffix = QStringLiteral(".zfsrep-incoming");
const QString DatasetReplacer::kPreviousSuffix = QStringLiteral(".zfsrep-previous");

DatasetReplacer::DatasetReplacer(Run &owner, const RunServices &runServices)
    : run(owner), services(runServices)
{
}

bool DatasetReplacer::rename(const QString &from, const QString &to, bool cancellable)
{
    // -u: nothing is unmounted or mounted, so a dataset in use can move. A
    // step that puts the old dataset back runs to its end even for a
    // cancelled run, so the old dataset is never left aside.
    const QStringList arguments = ZfsCommands::renameArgs(from, to);
    ProcessRequest request = ZfsCommands::localRequest(ZfsCommands::kZfs, arguments, 10000, kRenameMs);
    if (cancellable)
        request.cancel = &run.cancelToken();
    const ProcessOutcome renamed = services.runner.run(request);
    if (!renamed.succeeded()) {
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, arguments),
                                     CommandReport::errorText(renamed));
        return false;
    }
    return true;
}

bool DatasetReplacer::treeHolds(const QString &dataset, QList<QPair<QString, QString>> &holds)
{
    const ReplicationSide local(services.runner, &run.cancelToken());
    QStringList snapshots;
    if (!local.treeSnapshotNames(run.journals(), dataset, snapshots))
        return false;
    return snapshots.isEmpty() || local.holds(run.journals(), snapshots, false, holds);
}

bool DatasetReplacer::checkForeignHolds(const QString &dataset, const QList<QPair<QString, QString>> &holds)
{
    const QString ownTag = ZfsCommands::holdTag(run.mission().msnno);
    for (const auto &hold : holds) {
        if (hold.second == ownTag)
            continue;
        run.journals().add(TQ2PLACE(), TQ2Error::ERR_CONFLICT, QStringLiteral("zfs holds"), false,
                           QStringLiteral("%1 is not replaced: its snapshot %2 is held by %3 (only %4 is this mission's)")
                               .arg(dataset, hold.first, hold.second, ownTag),
                           QString());
        return false;
    }
    return true;
}

bool DatasetReplacer::checkForeignHolds(const QString &dataset)
{
    QList<QPair<QString, QString>> holds;
    return treeHolds(dataset, holds) && checkForeignHolds(dataset, holds);
}

bool DatasetReplacer::destroyTree(const QString &dataset)
{
    QList<QPair<QString, QString>> holds;
    if (!treeHolds(dataset, holds) || !checkForeignHolds(dataset, holds))
        return false;
    // Only the mission's own holds are left: released, then the tree goes.
    QStringList held;
    for (const auto &hold : holds)
        held.append(hold.first);
    const ReplicationSide local(services.runner, &run.cancelToken());
    if (!held.isEmpty() && !local.release(run.journals(), ZfsCommands::holdTag(run.mission().msnno), held))
        return false;
    const QStringList destroy = ZfsCommands::destroyTreeArgs(dataset);
    ProcessRequest request = ZfsCommands::localRequest(ZfsCommands::kZfs, destroy, 5000, kDestroyMs);
    request.cancel = &run.cancelToken();
    const ProcessOutcome destroyed = services.runner.run(request);
    if (!destroyed.succeeded()) {
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, destroy),
                                     CommandReport::errorText(destroyed));
        return false;
    }
    return true;
}

bool DatasetReplacer::replace(const QString &incoming, const QString &target, bool targetExists)
{
    // The old dataset is moved aside, not destroyed, until the new one holds
    // its name; a failure on the way puts it back.
    const QString previous = target + kPreviousSuffix;
    if (targetExists && !rename(target, previous, true))
        return false;
    if (!rename(incoming, target, true)) {
        if (targetExists)
            rename(previous, target, false);
        return false;
    }
    // The new dataset holds the name now; an old one that cannot be removed
    // fails the run (the next run removes it before receiving).
    if (targetExists && !destroyTree(previous))
        return false;
    return true;
}

void DatasetReplacer::destroyIncoming(const QString &incoming)
{
    const QStringList destroy = ZfsCommands::destroyTreeArgs(incoming);
    ProcessRequest request = ZfsCommands::localRequest(ZfsCommands::kZfs, destroy, 5000, kDestroyMs);
    request.cancel = &run.cancelToken();
    const ProcessOutcome destroyed = services.runner.run(request);
    // What is left is dropped or completed by the next run.
    if (!destroyed.succeeded() && !destroyed.cancelled)
        run.journals().add(TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, destroy), true,
                           CommandReport::errorText(destroyed), QString());
}

bool DatasetReplacer::receiveReplacing(const QString &pool, const QString &name, const QJsonObject &items,
                                       bool resumable, const std::function<bool(const QString &)> &receive)
{
    const QString dataset = pool + QLatin1Char('/') + name;
    const QString incoming = dataset + kIncomingSuffix;
    const ReplicationSide probe(services.runner);
    bool exists = items.contains(name);
    // An earlier run was interrupted: a moved-aside dataset goes back when
    // nothing took its name (else the new one did and it is obsolete); a
    // partial incoming dataset is dropped.
    if (items.contains(name + kPreviousSuffix)) {
        if (!exists) {
            exists = rename(dataset + kPreviousSuffix, dataset, false);
        } else {
            destroyTree(dataset + kPreviousSuffix);
        }
    }
    // A pull's staging tree is completed by the planner from what it holds;
    // a restore's partial one is dropped before receiving anew.
    if (items.contains(name + kIncomingSuffix) && !resumable)
        destroyIncoming(incoming);
    bool received = receive(incoming);
    if (!received && resumable && run.journals().err() == TQ2Error::ERR_CONFLICT && !run.isCancelled()) {
        // A staging tree that does not fit the source (left by another
        // source, or holding no snapshot) is of no use: it is dropped and
        // the pull starts afresh, once.
        run.journals().add(TQ2PLACE(), QStringLiteral("zfs destroy -r ") + incoming, true,
                           QStringLiteral("dropped the staging tree %1: it does not fit the source").arg(incoming),
                           QString());
        run.journals().setErr(TQ2Error::ERR_FAILED, QString());
        destroyIncoming(incoming);
        received = receive(incoming);
    }
    if (!received) {
        // A restore's partial stream is of no use to the next run; what a
        // pull received stays for the next run to complete.
        if (!resumable || run.journals().err() == TQ2Error::ERR_CONFLICT)
            destroyIncoming(incoming);
        return false;
    }
    if (run.isCancelled()) {
        run.journals().setErr(TQ2Error::ERR_FAILED, QStringLiteral("the transfer was cancelled"));
        return false;
    }
    // Another tool's holds on the old tree stop the replacement before
    // anything moves; the received tree waits for the next run.
    if (exists && !checkForeignHolds(dataset))
        return false;
    if (!replace(incoming, dataset, exists)) {
        if (!resumable && probe.exists(incoming))
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
    ProcessRequest request = ZfsCommands::localRequest(ZfsCommands::kZfs, arguments, StageRunner::kStageStartMs, kMountMs);
    request.cancel = &run.cancelToken();
    const ProcessOutcome outcome = services.runner.run(request);
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, arguments),
                                     CommandReport::errorText(outcome));
        return false;
    }
    return true;
}
