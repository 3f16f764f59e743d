#include "localqueries.h"

#include "commandreport.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"
#include "zfsoutput.h"

using namespace ZfsCommands;

namespace {

// Timeouts in milliseconds: start, finish.
constexpr int kListStart = 5000, kListFinish = 25000;
constexpr int kSnapListStart = 10000, kSnapListFinish = 3600000;
constexpr int kHoldsStart = 5000, kHoldsFinish = 30000;
constexpr int kDestroyStart = 5000, kDestroyFinish = 1200000;
constexpr int kSnapStart = 10000, kSnapFinish = 30000;
constexpr int kReleaseStart = 30000, kNoLimit = -1;

} // namespace

LocalQueries::LocalQueries(ProcessRunner &processRunner, const CancelToken *token) : runner(processRunner), cancel(token) {}

ProcessOutcome LocalQueries::run(ProcessRequest request) const
{
    request.cancel = cancel;
    return runner.run(request);
}

bool LocalQueries::alload(TQ2Journals &journals, QJsonObject &pools) const
{
    // $ zfs list -pj
    const ProcessOutcome datasets = run(localRequest(kZfs, {"list", "-pj"}, kListStart, kListFinish));
    if (!datasets.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("zfs list -pj"),
                                    CommandReport::errorText(datasets));
        return false;
    }
    // $ zpool list -pjo name,size,free
    const ProcessOutcome poolList =
        run(localRequest(kZpool, {"list", "-pjo", "name,size,free"}, kListStart, kListFinish));
    if (!poolList.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("zpool list -pjo name,size,free"),
                                    CommandReport::errorText(poolList));
        return false;
    }
    const QJsonObject map = ZfsOutput::poolMap(datasets.standardOutput, poolList.standardOutput);
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        pools.insert(it.key(), it.value());
    return true;
}

bool LocalQueries::snapshotAllist(TQ2Journals &, QStringList &names, const QString &dataset) const
{
    // $ zfs list -t snapshot -H -o name tank/data
    // tank/data@a
    QStringList arguments{"list", "-t", "snapshot", "-H", "-o", "name"};
    if (!dataset.isEmpty())
        arguments.append(dataset);
    const ProcessOutcome outcome = run(localRequest(kZfs, arguments, kSnapListStart, kSnapListFinish));
    if (!outcome.succeeded())
        return false;
    names = ZfsOutput::lines(outcome.standardOutput);
    return true;
}

bool LocalQueries::remove(TQ2Journals &journals, const QString &dataset) const
{
    QStringList snapshots;
    if (snapshotAllist(journals, snapshots, dataset) && !snapshots.isEmpty()) {
        // $ zfs holds -H tank/data@a tank/data@b
        // tank/data@b	keep	Thu Dec  7 19:30 2023
        const ProcessOutcome holds =
            run(localRequest(kZfs, QStringList{"holds", "-H"} + snapshots, kHoldsStart, kHoldsFinish));
        if (holds.succeeded()) {
            for (const auto &hold : ZfsOutput::holds(holds.standardOutput))
                run(localRequest(kZfs, {"release", "-r", hold.second, hold.first}, kReleaseStart, kNoLimit));
        }
    }
    const ProcessOutcome destroy =
        run(localRequest(kZfs, {"destroy", "-r", dataset}, kDestroyStart, kDestroyFinish));
    if (!destroy.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("zfs destroy -r ") + dataset,
                                    CommandReport::errorText(destroy));
        return false;
    }
    return true;
}

bool LocalQueries::snapshotAlload(TQ2Journals &, QJsonArray &snapshots) const
{
    // $ /usr/sbin/zfs list -t snapshot -H -pjo name,used,refer
    const ProcessOutcome outcome = run(localRequest(
        kZfsFullPath, {"list", "-t", "snapshot", "-H", "-pjo", "name,used,refer"}, kSnapListStart, kSnapListFinish));
    if (!outcome.succeeded())
        return false;
    for (const QJsonValue &record : ZfsOutput::snapshotRecords(outcome.standardOutput))
        snapshots.append(record);
    return true;
}

bool LocalQueries::snapshotCreate(TQ2Journals &journals, const QString &snapshot, const QString &) const
{
    const ProcessOutcome outcome = run(localRequest(kZfs, {"snapshot", snapshot}, kSnapStart, kSnapFinish));
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("zfs snapshot ") + snapshot,
                                    CommandReport::errorText(outcome));
        return false;
    }
    return true;
}

bool LocalQueries::snapshotRemove(TQ2Journals &journals, const QString &snapshot) const
{
    const ProcessOutcome holds = run(localRequest(kZfs, {"holds", "-H", snapshot}, kSnapStart, kSnapFinish));
    if (!holds.succeeded())
        return false;
    for (const auto &hold : ZfsOutput::holds(holds.standardOutput))
        run(localRequest(kZfs, {"release", "-r", hold.second, snapshot}, kReleaseStart, kNoLimit));
    const ProcessOutcome destroy = run(localRequest(kZfs, {"destroy", snapshot}, kSnapStart, kSnapFinish));
    if (!destroy.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("zfs destroy ") + snapshot,
                                    CommandReport::errorText(destroy));
        return false;
    }
    return true;
}

qint64 LocalQueries::snapshotSize(TQ2Journals &journals, const QString &snapshot, const QString &base, bool raw) const
{
    // $ zfs send -RPnv -I tank/data@a tank/data@c
    // size	1077728
    QStringList arguments{"send", "-RPnv"};
    if (raw)
        arguments.insert(1, "-w");
    if (!base.isEmpty())
        arguments << "-I" << base;
    arguments << snapshot;
    const ProcessOutcome outcome = run(localRequest(kZfs, arguments, kSnapStart, kSnapFinish));
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("zfs ") + arguments.join(QLatin1Char(' ')),
                                    CommandReport::errorText(outcome));
        return 0;
    }
    return ZfsOutput::sendSize(outcome.standardOutput);
}
