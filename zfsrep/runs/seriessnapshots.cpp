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
// A listing of a long history may take a while; a snapshot does not.
constexpr int kListFinishMs = 3600000, kSnapshotFinishMs = 60000;

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
    : run(owner), services(runServices), side(runServices.runner, &owner.cancelToken())
{
}

SeriesSnapshots::SeriesSnapshots(Run &owner, const RunServices &runServices, const ReplicationSide &where)
    : run(owner), services(runServices), side(where)
{
}

QStringList SeriesSnapshots::snapshotsOf(const QString &dataset) const
{
    const ProcessOutcome listed = side.run(RetentionCommands::snapshotNamesArgs(dataset), kListFinishMs);
    return listed.succeeded() ? ZfsOutput::lines(listed.standardOutput) : QStringList();
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
        const ProcessOutcome outcome = side.run(arguments, kSnapshotFinishMs);
        if (outcome.succeeded())
            return true;
        const QString error = CommandReport::errorText(outcome);
        if (attempt == kNameAttempts || !ReplicationOutput::isExistingDataset(error)) {
            CommandReport::commandFailed(run.journals(), TQ2PLACE(),
                                         side.label() + ZfsCommands::commandText(ZfsCommands::kZfs, arguments),
                                         side.named(error));
            return false;
        }
    }
    return false;
}

void SeriesSnapshots::moveBaseHold(const QString &dataset, const QString &snapshot)
{
    const QString tag = ZfsCommands::holdTag(run.mission().msnno);
    const QStringList hold = ZfsCommands::holdArgs(tag, snapshot);
    const ProcessOutcome held = side.run(hold);
    // A hold that exists already is fine (the base did not move).
    if (!held.succeeded() && !CommandReport::errorText(held).contains(QLatin1String("tag already exists"))) {
        run.journals().add(TQ2PLACE(), side.label() + ZfsCommands::commandText(ZfsCommands::kZfs, hold), false,
                           side.named(CommandReport::errorText(held)), QString());
        return;
    }
    QStringList snapshots = snapshotsOf(dataset);
    snapshots.removeAll(snapshot);
    if (snapshots.isEmpty())
        return;
    // A failure is journaled; an old hold left is released by a later run.
    QList<QPair<QString, QString>> holds;
    side.holds(run.journals(), snapshots, false, holds);
    for (const auto &entry : holds) {
        if (entry.second == tag)
            side.run(ZfsCommands::releaseArgs(tag, entry.first));
    }
}

void SeriesSnapshots::eraseOlder(const QString &dataset, const QString &series, const QString &newest)
{
    const QStringList snapshots = snapshotsOf(dataset);
    const int position = snapshots.lastIndexOf(newest);
    const QString ownTag = ZfsCommands::holdTag(run.mission().msnno);
    for (int i = position - 1; i >= 0 && !run.isCancelled(); --i) {
        const QString snapshot = snapshots.at(i);
        if (!isSeriesSnapshot(snapshot, dataset, series))
            continue;
        QStringList others;
        bool ownHold = false;
        const ProcessOutcome holds = side.run(ZfsCommands::holdsArgs({snapshot}, true));
        for (const auto &entry : ZfsOutput::holds(holds.standardOutput)) {
            if (entry.second == ownTag)
                ownHold = true;
            else if (!others.contains(entry.second))
                others.append(entry.second);
        }
        if (!others.isEmpty()) {
            run.journals().add(TQ2PLACE(), QStringLiteral("keep ") + side.label() + snapshot, true,
                               QStringLiteral("kept %1: held by %2").arg(snapshot, others.join(QStringLiteral(", "))),
                               QString());
            continue;
        }
        if (ownHold)
            side.run(ZfsCommands::releaseArgs(ownTag, snapshot));
        const QStringList destroy = ZfsCommands::destroySnapshotArgs(snapshot);
        const ProcessOutcome destroyed = side.run(destroy);
        if (!destroyed.succeeded() && !destroyed.cancelled) {
            run.journals().add(TQ2PLACE(), side.label() + ZfsCommands::commandText(ZfsCommands::kZfs, destroy), false,
                               side.named(CommandReport::errorText(destroyed)), QString());
        }
    }
}

void SeriesSnapshots::drop(const QString &snapshot) { side.run(ZfsCommands::destroySnapshotArgs(snapshot)); }
