#include "localqueries.h"

#include "argumentbatches.h"
#include "commandreport.h"
#include "jsonsupport.h"
#include "retentioncommands.h"
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

LocalQueries::LocalQueries(ProcessRunner &processRunner, const CancelToken *token, JsonSupport *support)
    : runner(processRunner), cancel(token), json(support ? *support : JsonSupport::local())
{
}

ProcessOutcome LocalQueries::run(ProcessRequest request) const
{
    request.cancel = cancel;
    return runner.run(request);
}

LocalQueries::Listed LocalQueries::listing(const QString &program, const ListingArgs &args, const QString &member,
                                           int startMs, int finishMs) const
{
    if (json.state() != JsonSupport::State::Refused) {
        const ProcessOutcome answer = run(localRequest(program, args.json, startMs, finishMs));
        if (!json.note(answer)) {
            const QJsonObject entries =
                answer.succeeded() ? ZfsOutput::jsonListing(answer.standardOutput, member) : QJsonObject();
            return {answer, commandText(program, args.json), entries};
        }
    }
    const ProcessOutcome answer = run(localRequest(program, args.text, startMs, finishMs));
    const QJsonObject entries = answer.succeeded() ? ZfsOutput::textListing(answer.standardOutput, args.columns)
                                                   : QJsonObject();
    return {answer, commandText(program, args.text), entries};
}

bool LocalQueries::alload(TQ2Journals &journals, QJsonObject &pools) const
{
    // $ zfs list -pj
    // {"output_version":{...},"datasets":{"tank/data":{"name":"tank/data","type":"FILESYSTEM",...
    // $ zfs list -H -p -o name,type,used,available,mountpoint       (without -j)
    // tank/data	filesystem	1245184	10307921510	/tank/data
    const Listed datasets = listing(kZfs, datasetListing(), QStringLiteral("datasets"), kListStart, kListFinish);
    if (!datasets.outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), datasets.command, CommandReport::errorText(datasets.outcome));
        return false;
    }
    // $ zpool list -pjo name,size,free
    // $ zpool list -H -p -o name,size,free                          (without -j)
    // tank	10670309376	10669834240
    const Listed poolList = listing(kZpool, poolListing(), QStringLiteral("pools"), kListStart, kListFinish);
    if (!poolList.outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), poolList.command, CommandReport::errorText(poolList.outcome));
        return false;
    }
    const QJsonObject map = ZfsOutput::poolMap(datasets.entries, poolList.entries);
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        pools.insert(it.key(), it.value());
    return true;
}

bool LocalQueries::snapshotAllist(TQ2Journals &, QStringList &names, const QString &dataset) const
{
    // $ zfs list -t snapshot -H -o name tank/data
    // tank/data@a
    const ProcessOutcome outcome =
        run(localRequest(kZfs, RetentionCommands::snapshotNamesArgs(dataset), kSnapListStart, kSnapListFinish));
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
        // In batches below the argument limit: a long history does not fit
        // one command line.
        for (const QStringList &batch : ArgumentBatches::split(snapshots)) {
            const ProcessOutcome holds = run(localRequest(kZfs, holdsArgs(batch, false), kHoldsStart, kHoldsFinish));
            if (!holds.succeeded())
                continue;
            for (const auto &hold : ZfsOutput::holds(holds.standardOutput))
                run(localRequest(kZfs, releaseArgs(hold.second, hold.first), kReleaseStart, kNoLimit));
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
    // $ /usr/sbin/zfs list -t snapshot -H -p -o name,used,referenced   (without -j)
    // tank/data@a	12288	98304
    const Listed listed =
        listing(kZfsFullPath, snapshotUsageListing(), QStringLiteral("datasets"), kSnapListStart, kSnapListFinish);
    if (!listed.outcome.succeeded())
        return false;
    for (const QJsonValue &record : ZfsOutput::snapshotRecords(listed.entries))
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
