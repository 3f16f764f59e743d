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

#include <QLocale>

namespace {

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

void MXZfsrep::eraseOlderSeries(TQ2Journals &journals, const QString &dataset, const QString &series,
                                const QString &newest)
{
    QStringList snapshots;
    snapshotAllist(journals, snapshots, dataset);
    const int position = snapshots.lastIndexOf(newest);
    const QString prefix = dataset + QLatin1Char('@') + series + QLatin1Char('_');
    for (int i = position - 1; i >= 0; --i) {
        if (snapshots.at(i).startsWith(prefix))
            snapshotRemove(journals, snapshots.at(i));
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
    if (targetExists)
        remove(journals, previous);
    return true;
}

bool MXZfsrep::receiveReplacing(TQ2Journals &journals, const QString &pool, const QString &name,
                                const QJsonObject &items, const std::function<bool(const QString &)> &receive)
{
    const QString dataset = pool + QLatin1Char('/') + name;
    const QString incoming = dataset + kIncomingSuffix;
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
    if (items.contains(name + kIncomingSuffix))
        destroyIncoming();
    if (!receive(incoming)) {
        destroyIncoming();
        return false;
    }
    if (!replaceDataset(journals, incoming, dataset, exists)) {
        destroyIncoming();
        return false;
    }
    mountUnderMnt(dataset);
    return true;
}

bool MXZfsrep::sendPool(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    const QString series = MissionFields::text(mission, "snapname");
    const QString snapshot = newSnapshotName(dataset, series);
    bool result = snapshotCreate(journals, snapshot, dataset);
    if (result) {
        result = sendSnapshots(journals, mission);
        if (result && toBool(mission.value(QStringLiteral("erase"))))
            eraseOlderSeries(journals, dataset, series, snapshot);
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
