#include "seriessnapshots.h"

#include "commandreport.h"
#include "ownsnapshots.h"
#include "replicationoutput.h"
#include "retentioncommands.h"
#include "run.h"
#include "runservices.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"
#include "zfsoutput.h"

#include <QLocale>
#include <QRegularExpression>

namespace {

// How many names a new series snapshot tries before giving up.
constexpr int kNameAttempts = 9;

} // namespace

bool SeriesSnapshots::isSeriesSnapshot(const QString &snapshot, const QString &dataset, const QString &series)
{
    const QString prefix = dataset + QLatin1Char('@') + series + QLatin1Char('_');
    if (!snapshot.startsWith(prefix))
        return false;
    // yyyyMMddHHmmss, optionally "_<n>" for a name taken in the same second.
    static const QRegularExpression stamp(QStringLiteral("^[0-9]{14}(_[0-9]+)?$"));
    return stamp.match(snapshot.mid(prefix.size())).hasMatch();
}

SeriesSnapshots::SeriesSnapshots(Run &owner, const RunServices &runServices)
    : run(owner), services(runServices), local(runServices.runner, &owner.cancelToken()),
      queries(runServices.runner, &owner.cancelToken())
{
}

QString SeriesSnapshots::firstName(const QString &dataset, const QString &series, const QDateTime &now)
{
    return dataset + QLatin1Char('@') + series + QLatin1Char('_') + QLocale::c().toString(now, QStringLiteral("yyyyMMddHHmmss"));
}

bool SeriesSnapshots::create(const QString &dataset, const QString &series, QString &snapshot)
{
    return createNamed(firstName(dataset, series, services.clock()), snapshot);
}

bool SeriesSnapshots::createNamed(const QString &name, QString &snapshot)
{
    // Two missions of one dataset and series may start in the same second.
    for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
        snapshot = attempt == 1 ? name : name + QLatin1Char('_') + QString::number(attempt);
        const QStringList arguments = RetentionCommands::markedSnapshotArgs(
            snapshot, OwnSnapshots::mark(services.settings.instance, run.mission().msnno));
        ProcessRequest request = ZfsCommands::localRequest(ZfsCommands::kZfs, arguments, 10000, 60000);
        request.cancel = &run.cancelToken();
        const ProcessOutcome outcome = services.runner.run(request);
        if (outcome.succeeded())
            return true;
        const QString error = CommandReport::errorText(outcome);
        if (attempt == kNameAttempts || !ReplicationOutput::isExistingDataset(error)) {
            CommandReport::commandFailed(run.journals(), TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, arguments),
                                         error);
            return false;
        }
    }
    return false;
}

void SeriesSnapshots::moveBaseHold(const QString &dataset, const QString &snapshot)
{
    const QString tag = ZfsCommands::holdTag(run.mission().msnno);
    const QStringList hold = ZfsCommands::holdArgs(tag, snapshot);
    const ProcessOutcome held = local.run(hold);
    // A hold that exists already is fine (the base did not move).
    if (!held.succeeded() && !CommandReport::errorText(held).contains(QLatin1String("tag already exists"))) {
        run.journals().add(TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, hold), false,
                           CommandReport::errorText(held), QString());
        return;
    }
    QStringList snapshots;
    queries.snapshotAllist(run.journals(), snapshots, dataset);
    snapshots.removeAll(snapshot);
    if (snapshots.isEmpty())
        return;
    // A failure is journaled; an old hold left is released by a later run.
    QList<QPair<QString, QString>> holds;
    local.holds(run.journals(), snapshots, false, holds);
    for (const auto &entry : holds) {
        if (entry.second == tag)
            local.run(ZfsCommands::releaseArgs(tag, entry.first));
    }
}

void SeriesSnapshots::eraseOlder(const QString &dataset, const QString &series, const QString &newest)
{
    QStringList snapshots;
    queries.snapshotAllist(run.journals(), snapshots, dataset);
    const int position = snapshots.lastIndexOf(newest);
    const QString ownTag = ZfsCommands::holdTag(run.mission().msnno);
    for (int i = position - 1; i >= 0 && !run.isCancelled(); --i) {
        const QString snapshot = snapshots.at(i);
        if (!isSeriesSnapshot(snapshot, dataset, series))
            continue;
        QStringList others;
        bool ownHold = false;
        const ProcessOutcome holds = local.run(ZfsCommands::holdsArgs({snapshot}, true));
        for (const auto &entry : ZfsOutput::holds(holds.standardOutput)) {
            if (entry.second == ownTag)
                ownHold = true;
            else if (!others.contains(entry.second))
                others.append(entry.second);
        }
        if (!others.isEmpty()) {
            run.journals().add(TQ2PLACE(), QStringLiteral("keep ") + snapshot, true,
                               QStringLiteral("kept %1: held by %2").arg(snapshot, others.join(QStringLiteral(", "))),
                               QString());
            continue;
        }
        if (ownHold)
            local.run(ZfsCommands::releaseArgs(ownTag, snapshot));
        const QStringList destroy = ZfsCommands::destroySnapshotArgs(snapshot);
        const ProcessOutcome destroyed = local.run(destroy);
        if (!destroyed.succeeded() && !destroyed.cancelled) {
            run.journals().add(TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, destroy), false,
                               CommandReport::errorText(destroyed), QString());
        }
    }
}

void SeriesSnapshots::drop(const QString &snapshot) { local.run(ZfsCommands::destroySnapshotArgs(snapshot)); }
