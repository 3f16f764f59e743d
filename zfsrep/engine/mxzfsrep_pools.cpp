// Send and receive missions: a new snapshot sent to the remote host (with the
// older snapshots of its series optionally erased), or the remote dataset
// pulled into the local pool, replacing the local one only once it arrived.
#include "mxzfsrep.h"

#include "enginereport.h"
#include "missionfields.h"
#include "qmtarnlog.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"
#include "zfscommands.h"

#include "replicationoutput.h"
#include "replicationside.h"
#include "zfsoutput.h"

#include <QLocale>

namespace {

// How many names a new series snapshot tries before giving up.
constexpr int kNameAttempts = 9;

QString remoteLocation(const QJsonObject &mission)
{
    return MissionFields::text(mission, "host") + QLatin1Char(':')
           + QString::number(toInt(mission.value(QStringLiteral("port")))) + QLatin1Char('/')
           + MissionFields::text(mission, "path");
}

} // namespace

const QString MXZfsrep::kIncomingSuffix = QStringLiteral(".zfsrep-incoming");
const QString MXZfsrep::kPreviousSuffix = QStringLiteral(".zfsrep-previous");

QString MXZfsrep::newSnapshotName(const QString &dataset, const QString &series) const
{
    return dataset + QLatin1Char('@') + series + QLatin1Char('_') + QLocale::c().toString(now(), QStringLiteral("yyyyMMddHHmmss"));
}

bool MXZfsrep::createSeriesSnapshot(TQ2Journals &journals, const QString &dataset, const QString &series,
                                    QString &snapshot)
{
    const QString name = newSnapshotName(dataset, series);
    // Two missions of one dataset and series may start in the same second.
    for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
        snapshot = attempt == 1 ? name : name + QLatin1Char('_') + QString::number(attempt);
        const QStringList arguments = ZfsCommands::recursiveSnapshotArgs(snapshot);
        const ProcessOutcome outcome = runner().run(ZfsCommands::localRequest(ZfsCommands::kZfs, arguments, 10000, 60000));
        if (outcome.succeeded())
            return true;
        const QString error = EngineReport::errorText(outcome);
        if (attempt == kNameAttempts || !ReplicationOutput::isExistingDataset(error)) {
            EngineReport::commandFailed(journals, TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, arguments), error);
            return false;
        }
    }
    return false;
}

void MXZfsrep::moveBaseHold(TQ2Journals &journals, int msnno, const QString &dataset, const QString &snapshot)
{
    const QString tag = ZfsCommands::holdTag(msnno);
    const ReplicationSide local(runner());
    const QStringList hold = ZfsCommands::holdArgs(tag, snapshot);
    const ProcessOutcome held = local.run(hold);
    // A hold that exists already is fine (the base did not move).
    if (!held.succeeded() && !EngineReport::errorText(held).contains(QLatin1String("tag already exists"))) {
        journals.add(TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, hold), false,
                     EngineReport::errorText(held), QString());
        return;
    }
    QStringList snapshots;
    snapshotAllist(journals, snapshots, dataset);
    snapshots.removeAll(snapshot);
    if (snapshots.isEmpty())
        return;
    const ProcessOutcome holds = local.run(ZfsCommands::holdsArgs(snapshots, false));
    for (const auto &hold : ZfsOutput::holds(holds.standardOutput)) {
        if (hold.second == tag)
            local.run(ZfsCommands::releaseArgs(tag, hold.first));
    }
}

void MXZfsrep::eraseOlderSeries(TQ2Journals &journals, const QString &dataset, const QString &series,
                                const QString &newest, int msnno)
{
    QStringList snapshots;
    snapshotAllist(journals, snapshots, dataset);
    const int position = snapshots.lastIndexOf(newest);
    const QString prefix = dataset + QLatin1Char('@') + series + QLatin1Char('_');
    const ReplicationSide local(runner());
    const QString ownTag = ZfsCommands::holdTag(msnno);
    for (int i = position - 1; i >= 0; --i) {
        const QString snapshot = snapshots.at(i);
        if (!snapshot.startsWith(prefix))
            continue;
        QStringList others;
        bool ownHold = false;
        const ProcessOutcome holds = local.run(ZfsCommands::holdsArgs({snapshot}, true));
        for (const auto &hold : ZfsOutput::holds(holds.standardOutput)) {
            if (hold.second == ownTag)
                ownHold = true;
            else if (!others.contains(hold.second))
                others.append(hold.second);
        }
        if (!others.isEmpty()) {
            journals.add(TQ2PLACE(), QStringLiteral("keep ") + snapshot, true,
                         QStringLiteral("kept %1: held by %2").arg(snapshot, others.join(QStringLiteral(", "))), QString());
            continue;
        }
        if (ownHold)
            local.run(ZfsCommands::releaseArgs(ownTag, snapshot));
        const QStringList destroy = ZfsCommands::destroySnapshotArgs(snapshot);
        const ProcessOutcome destroyed = local.run(destroy);
        if (!destroyed.succeeded()) {
            journals.add(TQ2PLACE(), ZfsCommands::commandText(ZfsCommands::kZfs, destroy), false,
                         EngineReport::errorText(destroyed), QString());
        }
    }
}

bool MXZfsrep::renameDataset(TQ2Journals &journals, const QString &from, const QString &to) const
{
    const ProcessOutcome renamed =
        runner().run(ZfsCommands::localRequest(ZfsCommands::kZfs, {QStringLiteral("rename"), from, to}, 10000, 60000));
    if (!renamed.succeeded()) {
        EngineReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("zfs rename ") + from + QLatin1Char(' ') + to,
                                    EngineReport::errorText(renamed));
        return false;
    }
    return true;
}

bool MXZfsrep::replaceDataset(TQ2Journals &journals, const QString &incoming, const QString &target, bool targetExists)
{
    // The old dataset is moved aside, not destroyed, until the new one holds
    // its name; a failure on the way puts it back.
    const QString previous = target + kPreviousSuffix;
    if (targetExists && !renameDataset(journals, target, previous))
        return false;
    if (!renameDataset(journals, incoming, target)) {
        if (targetExists)
            renameDataset(journals, previous, target);
        return false;
    }
    // The new dataset holds the name now; an old one that cannot be removed
    // fails the run (the next run removes it before receiving).
    if (targetExists && !remove(journals, previous))
        return false;
    return true;
}

bool MXZfsrep::receiveReplacing(TQ2Journals &journals, const QString &pool, const QString &name,
                                const QJsonObject &items, const std::function<bool(const QString &)> &receive)
{
    const QString dataset = pool + QLatin1Char('/') + name;
    const QString incoming = dataset + kIncomingSuffix;
    const ReplicationSide local(runner());
    bool exists = items.contains(name);
    auto destroyIncoming = [&] {
        runner().run(ZfsCommands::localRequest(ZfsCommands::kZfs, {QStringLiteral("destroy"), QStringLiteral("-r"), incoming},
                                               5000, 1200000));
    };
    // An earlier run was interrupted: a moved-aside dataset goes back when
    // nothing took its name (else the new one did and it is obsolete); a
    // partial incoming dataset is dropped.
    if (items.contains(name + kPreviousSuffix)) {
        if (!exists)
            exists = renameDataset(journals, dataset + kPreviousSuffix, dataset);
        else
            remove(journals, dataset + kPreviousSuffix);
    }
    // A staging dataset with a resume token keeps what it received for the
    // next run; any other one is dropped before receiving anew.
    if (items.contains(name + kIncomingSuffix) && !local.hasResumeToken(incoming))
        destroyIncoming();
    if (!receive(incoming)) {
        if (!local.hasResumeToken(incoming))
            destroyIncoming();
        return false;
    }
    if (!replaceDataset(journals, incoming, dataset, exists)) {
        if (local.exists(incoming))
            destroyIncoming();
        return false;
    }
    return mountUnderMnt(journals, dataset);
}


bool MXZfsrep::sendPool(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    const QString series = MissionFields::text(mission, "snapname");
    const int msnno = toInt(mission.value(QStringLiteral("msnno")));
    QString snapshot;
    bool result = createSeriesSnapshot(journals, dataset, series, snapshot);
    if (result) {
        result = sendSnapshots(journals, mission);
        const ReplicationResult replicated = lastReplication();
        if (result) {
            // The newest common snapshot is the next run's base: keep it.
            moveBaseHold(journals, msnno, dataset, dataset + QLatin1Char('@') + replicated.target);
            if (toBool(mission.value(QStringLiteral("erase"))))
                eraseOlderSeries(journals, dataset, series, snapshot, msnno);
        } else if (replicated.bytes == 0) {
            // Nothing of it was sent: the snapshot would only pile up.
            ReplicationSide(runner()).run(ZfsCommands::destroySnapshotArgs(snapshot));
        }
    }
    writeEvent(result, QStringLiteral("GLOG_ZFSREP_SENDPOOL"), dataset, QStringLiteral(" SEND "), mission, 1, dataset,
               remoteLocation(mission));
    return result;
}

bool MXZfsrep::recvPool(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString pool = MissionFields::text(mission, "pool");
    const QString name = MissionFields::text(mission, "name");
    const QString dataset = pool + QLatin1Char('/') + name;
    bool result = false;
    QJsonObject pools;
    if (alload(journals, pools)) {
        if (!pools.contains(pool)) {
            journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("需要恢复的pool不存在: ") + pool);
        } else {
            const QJsonObject items = pools.value(pool).toObject().value(QStringLiteral("items")).toObject();
            result = receiveReplacing(journals, pool, name, items,
                                      [&](const QString &incoming) { return pullSnapshots(journals, mission, incoming); });
        }
    }
    writeEvent(result, QStringLiteral("GLOG_ZFSREP_RECVPOOL"), dataset, QStringLiteral(" RECV "), mission, 2,
               remoteLocation(mission), dataset);
    return result;
}
